#include "filedialoguser.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>

FileDialogUser::FileDialogUser(QString answer) : path(std::move(answer))
{
    connect(&poll, &QTimer::timeout, this, &FileDialogUser::answerOpenDialog);
    poll.start(20);
}

void FileDialogUser::answerOpenDialog()
{
    QFileDialog* dialog = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* candidate = qobject_cast<QFileDialog*>(top); candidate && candidate->isVisible())
            dialog = candidate;
    if (!dialog)
        return;
    ++dialogs;
    titles << dialog->windowTitle();
    filters << dialog->nameFilters();
    if (onOpen)
        onOpen();
    if (path.isEmpty()) {
        dialog->reject();
        return;
    }
    // Typed into the name field, as a user would.
    if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
        name->setText(path);
    QMetaObject::invokeMethod(dialog, "accept");
}
