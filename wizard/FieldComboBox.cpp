// The drop-down event of the field-name list.
#include "wizard/FieldComboBox.h"

void TFieldComboBox::showPopup() {
    if (OnDropDown)
        OnDropDown(this);
    QComboBox::showPopup();
}
