#include "uploaderapp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    UploaderApp window;
    window.show();
    return application.exec();
}
