#ifndef TRAFFICWINDOW_H
#define TRAFFICWINDOW_H

#include <QDialog>

#include <memory>

QT_BEGIN_NAMESPACE
namespace Ui {
class TrafficWindow;
}
QT_END_NAMESPACE

class TrafficModel;
class TrafficStatistics;

// "Bus traffic": the transactions on the line and the line statistics, non-modal. The list and
// the statistics belong to the caller and go on counting while the window is closed.
class TrafficWindow : public QDialog
{
    Q_OBJECT

public:
    TrafficWindow(TrafficModel *model, TrafficStatistics *statistics, QWidget *parent = nullptr);
    ~TrafficWindow() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void copySelection();
    void save();
    void saved(const QString &fileName, int rows, const QString &error);
    void showStatistics();

    Ui::TrafficWindow *ui = nullptr;
    TrafficModel *model = nullptr;
    TrafficStatistics *statistics = nullptr;
    bool following = true; // the view keeps the newest row in sight
    std::unique_ptr<QThread> saver;
};

#endif // TRAFFICWINDOW_H
