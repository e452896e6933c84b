#ifndef FINDWIDGET_H
#define FINDWIDGET_H

#include <QString>
#include <QStringList>
#include <QWidget>

// A window's control by its object name; a missing one is noted, so a case
// says every name the form no longer has, not just the first.
template <typename T>
T *widget(QWidget &window, const char *name, QStringList &missing)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        missing << QString::fromLatin1(name);
    return found;
}

#endif // FINDWIDGET_H
