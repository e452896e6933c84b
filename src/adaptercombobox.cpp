#include "adaptercombobox.h"

void AdapterComboBox::showPopup()
{
    // Connected directly: the list is up to date before it opens.
    emit aboutToShowPopup();
    QComboBox::showPopup();
}
