"""Prints, as JSON, what python3-dbfread reads from each table named on the command line.

Text is decoded as ISO-8859-1 so that every byte maps to one character and the C++ side can compare bytes.
Per table: the field names and types (the _NullFlags system field left out), the live and deleted
counts, and every live record as a list of values in field order (text fields as text, others as
their repr), or the error dbfread raised. --ignore-missing-memo lets dbfread open tables whose memo
file is absent.
"""
import json
import sys

import dbfread


def read(path, ignore_missing_memo):
    try:
        table = dbfread.DBF(path, encoding="latin-1", ignore_missing_memofile=ignore_missing_memo,
                            recfactory=lambda items: [value for _, value in items])
        fields = [(f.name, f.type, f.length) for f in table.fields]
        shown = [i for i, f in enumerate(fields) if f[1] != "0"]
        records = []
        for values in table.records:
            records.append([values[i] if fields[i][1] == "C" else repr(values[i]) for i in shown])
        return {
            "fields": [fields[i][0] for i in shown],
            "types": [fields[i][1] for i in shown],
            "widths": [fields[i][2] for i in shown],
            "records": records,
            "deleted": len(list(table.deleted)),
        }
    except Exception as error:  # the test reports what dbfread could not read
        return {"error": "%s: %s" % (type(error).__name__, error)}


def main():
    args = sys.argv[1:]
    ignore = "--ignore-missing-memo" in args
    paths = [a for a in args if not a.startswith("--")]
    json.dump({path: read(path, ignore) for path in paths}, sys.stdout)


if __name__ == "__main__":
    main()
