// The floor any Qt widgets window costs here: an empty top-level window of the tool's size,
// with the same raster-only setting as the tool, doing nothing until it is closed.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);
    QWidget window;
    window.resize(592, 584);
    window.show();
    return application.exec();
}
