// A combo box that tells its owner before it drops down, so the list can be filled on demand.
#pragma once

#include <QComboBox>
#include <functional>

class TFieldComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;

    std::function<void(QObject* sender)> OnDropDown;

    void showPopup() override;
};
