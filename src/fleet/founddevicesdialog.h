#ifndef FOUNDDEVICESDIALOG_H
#define FOUNDDEVICESDIALOG_H

#include <QDialog>
#include <QHostAddress>
#include <QList>

class QListWidget;

// The devices a scan found, each checked, for the operator to add or leave out.
class FoundDevicesDialog : public QDialog
{
    Q_OBJECT

public:
    FoundDevicesDialog(const QList<QHostAddress> &found, QWidget *parent = nullptr);

    QList<QHostAddress> chosen() const;

private:
    QListWidget *_list;
};

#endif // FOUNDDEVICESDIALOG_H
