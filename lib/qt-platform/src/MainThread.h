#pragma once

#include <QThread>

// The thread on which the whole Qt layer lives: it runs Qt's event loop, and
// every Qt object of the layer is moved to it.
class MainThread : public QThread {
    Q_OBJECT

public:
    MainThread();
    ~MainThread() override;

protected:
    void run() override;
};
