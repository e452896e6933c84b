#ifndef ADAPTERCOMBOBOX_H
#define ADAPTERCOMBOBOX_H

#include <QComboBox>

// The adapter list of the form. It says when it is about to open, so that
// the window reads the adapters again: one plugged in after start-up can be
// chosen without a restart.
class AdapterComboBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override;

signals:
    void aboutToShowPopup();
};

#endif // ADAPTERCOMBOBOX_H
