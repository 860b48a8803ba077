#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // A widgets-only window needs no OpenGL; without this Qt loads a software GL renderer
    // under X that more than doubles the memory the tool needs.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);

    QApplication application(argc, argv);
    int result;
    {
        MainWindow window;
        window.show();
        result = application.exec();
        window.cleanUp();
    }
    return result;
}
