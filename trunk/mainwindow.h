#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class BusyIndicator;
class QFile;
class QFtp;
class QUrlInfo;

namespace Ui {
class MainWindow;
}

// The updater's only window and the owner of the update procedure: connect,
// log in, change into the server folder, list it, fetch "version.ver",
// compare, ask, fetch and unpack "app.zip", then start the application.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void handleStateChanged(int state);
    void commandFinished(bool);
    void handleListInfo(const QUrlInfo &info);

private:
    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
