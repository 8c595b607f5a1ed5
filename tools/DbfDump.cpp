// The records of a table as CSV in UTF-8.
#include "tools/DbfDump.h"

#include "table/DatabaseError.h"
#include "table/Table.h"
#include "tools/CsvWriter.h"
#include "tools/DumpText.h"

#include <vector>

namespace DbfDump {

std::string Explained(const std::exception& error) {
    const auto* engine = dynamic_cast<const EDBEngineError*>(&error);
    return engine ? engine->FullMessage() : error.what();
}

bool Dump(TTable& table, const std::string& file, bool withDeleted, TDumpText& text, TCsvWriter& csv,
          std::ostream& errors) {
    if (withDeleted)
        csv.Value("DELETED");
    std::vector<TField*> fields;
    for (int i = 0; i < table.FieldCount(); ++i) {
        fields.push_back(&table.Fields(i));
        csv.Value(text(fields.back()->FieldName()));
    }
    csv.EndLine();
    bool complete = true;
    for (; !table.Eof(); table.Next()) {
        if (withDeleted)
            csv.Value(table.RecordDeleted() ? "*" : "");
        for (TField* field : fields) {
            try {
                csv.Value(text(field->AsText()));
            } catch (const EDatabaseError& e) {
                csv.Value("");
                complete = false;
                errors << "quorvel-dbf: " << file << ": record " << table.RecNo() << ", field " << field->FieldName()
                       << ": " << Explained(e) << '\n';
            }
        }
        csv.EndLine();
    }
    return complete;
}

} // namespace DbfDump
