#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

// Answers the program's file dialogs as a user would: types `path` and accepts,
// or cancels when it is empty. It remembers each dialog's title and filters.
class FileDialogUser : public QObject
{
public:
    explicit FileDialogUser(QString answer);

    QString path;
    int dialogs = 0;
    QStringList titles;
    QStringList filters;
    // Runs while a dialog is open, before it is answered.
    std::function<void()> onOpen;

private:
    void answerOpenDialog();
    QTimer poll;
};
