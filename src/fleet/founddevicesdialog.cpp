#include "founddevicesdialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

FoundDevicesDialog::FoundDevicesDialog(const QList<QHostAddress> &found, QWidget *parent)
    : QDialog(parent)
    , _list(new QListWidget(this))
{
    setWindowTitle(tr("Devices found"));
    auto *label = new QLabel(tr("%n device(s) answered. Add the checked ones:", nullptr, int(found.size())), this);
    label->setBuddy(_list);
    _list->setObjectName(QStringLiteral("list_found"));
    _list->setAccessibleName(tr("Devices found"));
    for (const QHostAddress &device : found) {
        auto *item = new QListWidgetItem(device.toString(), _list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("&Add"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(_list);
    layout->addWidget(buttons);
}

QList<QHostAddress> FoundDevicesDialog::chosen() const
{
    QList<QHostAddress> chosen;
    for (int i = 0; i < _list->count(); ++i) {
        if (_list->item(i)->checkState() == Qt::Checked)
            chosen.append(QHostAddress(_list->item(i)->text()));
    }
    return chosen;
}
