// The wizard's settings declared once: each row names its section, its ident and the control that holds it,
// and loading and saving both walk the same rows.
#pragma once

#include <QString>
#include <vector>

class QWidget;
class TSettingsStore;

struct TSettingRow {
    QString Section;
    QString Ident;
    // The control's kind decides the stored form: a line edit or an editable combo box its text, a plain-text
    // edit its text with CR LF breaks, a fixed combo box whose items carry data the current item's data as text,
    // a slider, spin box or other fixed combo box an integer, a check box "0" or "1".
    QWidget* Control;
};

namespace SettingsTable {

// Fills each control from the store; what the control holds is the default of a missing or unreadable value.
void Load(const TSettingsStore& store, const std::vector<TSettingRow>& rows);
void Save(TSettingsStore& store, const std::vector<TSettingRow>& rows);

} // namespace SettingsTable
