// Controls of the panel file that Qt does not have: the timer control, the port ring, and the
// interface through which a control takes the attributes the panel service does not know.
#pragma once

#include <QComboBox>
#include <QTimer>
#include <QWidget>

class KvControl {
  public:
    virtual ~KvControl() = default;
    // Return 0, or UIE_ATTRIBUTE / UIE_VALUE_TYPE.
    virtual int setIntAttribute(int attribute, int value);
    virtual int setTextAttribute(int attribute, const QString &value);
};

// Ticks every `interval` milliseconds while enabled; never shown.
class KvTimer : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(int interval READ interval WRITE setInterval)
  public:
    explicit KvTimer(QWidget *parent = nullptr);
    int interval() const { return timer_.interval(); }
    void setInterval(int milliseconds);
    bool isTicking() const { return timer_.isActive(); }
    int setIntAttribute(int attribute, int value) override;
  signals:
    void tick();

  private:
    QTimer timer_;
};

// Lists the port numbers that have a device, each with its path; its value is the number.
class KvPortRing : public QComboBox {
    Q_OBJECT
  public:
    explicit KvPortRing(QWidget *parent = nullptr);
    void showPopup() override;

  private:
    void refill();
};

// Creates the panel file's own control classes; nullptr for any other class name.
QWidget *CreatePlatformWidget(const QString &className, QWidget *parent);
