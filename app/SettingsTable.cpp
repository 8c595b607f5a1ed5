// Loading and saving the rows of the settings table, one conversion per kind of control.
#include "app/SettingsTable.h"

#include "framework/SettingsStore.h"
#include "framework/Text.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSlider>
#include <QSpinBox>

namespace {

void LoadRow(const TSettingsStore& store, const TSettingRow& row) {
    QWidget* control = row.Control;
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(store.ReadString(row.Section, row.Ident, edit->text()));
    } else if (auto* memo = qobject_cast<QPlainTextEdit*>(control)) {
        memo->setPlainText(Text::FromCrLf(store.ReadString(row.Section, row.Ident, Text::ToCrLf(memo->toPlainText()))));
    } else if (auto* combo = qobject_cast<QComboBox*>(control); combo && combo->isEditable()) {
        combo->setEditText(store.ReadString(row.Section, row.Ident, combo->currentText()));
    } else if (combo && combo->itemData(0).isValid()) {
        // A value the list does not have keeps the default.
        const int index = combo->findData(store.ReadString(row.Section, row.Ident, combo->currentData().toString()),
                                          Qt::UserRole, Qt::MatchFixedString);
        if (index >= 0)
            combo->setCurrentIndex(index);
    } else if (combo) {
        // An index the list does not have keeps the default.
        const int index = store.ReadInteger(row.Section, row.Ident, combo->currentIndex());
        if (index >= 0 && index < combo->count())
            combo->setCurrentIndex(index);
    } else if (auto* slider = qobject_cast<QSlider*>(control)) {
        // The slider keeps its position within its range, so a stored 5 shows as 10.
        slider->setValue(store.ReadInteger(row.Section, row.Ident, slider->value()));
    } else if (auto* spin = qobject_cast<QSpinBox*>(control)) {
        spin->setValue(store.ReadInteger(row.Section, row.Ident, spin->value()));
    } else if (auto* check = qobject_cast<QCheckBox*>(control)) {
        check->setChecked(store.ReadBool(row.Section, row.Ident, check->isChecked()));
    } else {
        qFatal("settings row %s has a control of no known kind", qPrintable(row.Ident));
    }
}

void SaveRow(TSettingsStore& store, const TSettingRow& row) {
    QWidget* control = row.Control;
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        store.WriteString(row.Section, row.Ident, edit->text());
    else if (auto* memo = qobject_cast<QPlainTextEdit*>(control))
        store.WriteString(row.Section, row.Ident, Text::ToCrLf(memo->toPlainText()));
    else if (auto* combo = qobject_cast<QComboBox*>(control); combo && combo->isEditable())
        store.WriteString(row.Section, row.Ident, combo->currentText());
    else if (combo && combo->itemData(0).isValid())
        store.WriteString(row.Section, row.Ident, combo->currentData().toString());
    else if (combo)
        store.WriteInteger(row.Section, row.Ident, combo->currentIndex());
    else if (auto* slider = qobject_cast<QSlider*>(control))
        store.WriteInteger(row.Section, row.Ident, slider->value());
    else if (auto* spin = qobject_cast<QSpinBox*>(control))
        store.WriteInteger(row.Section, row.Ident, spin->value());
    else if (auto* check = qobject_cast<QCheckBox*>(control))
        store.WriteBool(row.Section, row.Ident, check->isChecked());
    else
        qFatal("settings row %s has a control of no known kind", qPrintable(row.Ident));
}

} // namespace

void SettingsTable::Load(const TSettingsStore& store, const std::vector<TSettingRow>& rows) {
    for (const TSettingRow& row : rows)
        LoadRow(store, row);
}

void SettingsTable::Save(TSettingsStore& store, const std::vector<TSettingRow>& rows) {
    for (const TSettingRow& row : rows)
        SaveRow(store, row);
}
