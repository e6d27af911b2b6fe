// Controls of the panel file that Qt does not have: the timer control, the port ring, and the
// interface through which a control takes the attributes the panel service does not know.
#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QWidget>

class KvControl {
  public:
    virtual ~KvControl() = default;
    // Return 0, or UIE_ATTRIBUTE / UIE_VALUE_TYPE.
    virtual int setIntAttribute(int attribute, int value);
    virtual int setTextAttribute(int attribute, const QString &value);
};

// Counts every `interval` milliseconds while enabled; never shown. It never wakes the program:
// the ticks that fell due are delivered whenever the event loop wakes for anything else, so the
// count is right whenever the program looks, and an idle program sleeps.
class KvTimer : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(int interval READ interval WRITE setInterval)
  public:
    explicit KvTimer(QWidget *parent = nullptr);
    int interval() const { return interval_; }
    void setInterval(int milliseconds);
    bool isTicking() const { return enabled_; }
    int setIntAttribute(int attribute, int value) override;
  signals:
    void tick();

  private:
    void deliverDueTicks();
    void restart();

    int interval_ = 50;
    bool enabled_ = true;
    QElapsedTimer clock_;
    qint64 delivered_ = 0;
};

// Lists every numbered port with its device (by-id name or path, device node, there, gone or not
// found); its value is the number. It refreshes when opened, when devices come and go and when a
// line is lost, and takes a typed device path as if that device had been picked.
class KvPortRing : public QComboBox {
    Q_OBJECT
  public:
    explicit KvPortRing(QWidget *parent = nullptr);
    ~KvPortRing() override;
    void showPopup() override;
    // The entry of the port shown now, refreshed.
    void refill();

  private:
    void takeTypedPath();
    void watchDeviceFolders(const QStringList &folders);

    QFileSystemWatcher watcher_;
    QTimer settle_; // devices come in bursts: refresh once they are quiet
    int lossWatch_ = 0;
};

// Creates the panel file's own control classes; nullptr for any other class name.
QWidget *CreatePlatformWidget(const QString &className, QWidget *parent);
