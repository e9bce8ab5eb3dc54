// The port box's list: the serial devices the system knows, described as people know them
// ("Arduino Uno (ttyACM0)"), then COM1-COM10; filled again each time the list opens.
#pragma once

#include <QComboBox>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace quillet {

// What the system says of one serial device (QSerialPortInfo's words).
struct PortFacts {
  QString location;      // "/dev/ttyACM0"
  QString name;          // "ttyACM0"
  QString description;   // the product: "Arduino Uno"
  QString manufacturer;  // "Arduino (www.arduino.cc)"
  std::optional<quint16> vendor, product;
};

struct PortItem {
  QString text;     // shown in the list
  QString device;   // what the box holds once the item is picked
  QString details;  // the tooltip: manufacturer, VID:PID, path
  bool usb = false;  // a USB device (it has a VID:PID)
};

// USB devices first, then the other devices, each group by name; then COM1-COM10.
QList<PortItem> PortItems(QList<PortFacts> ports);

using PortSource = std::function<QList<PortFacts>()>;
// The system's ports through QSerialPortInfo.
QList<PortFacts> SystemPorts();

// The editable port box. Picking an item puts its device into the box, so a description is
// never taken for a port name.
class PortBox : public QComboBox {
  Q_OBJECT

 public:
  explicit PortBox(QWidget* parent = nullptr);
  // Where the list comes from (tests give a fake); fills the list at once.
  void SetSource(PortSource source);
  // The list again from the source; the text in the box stays.
  void Refill();
  // The device the text means: an item's description gives its device.
  QString Device() const;
  void showPopup() override;

 private:
  PortSource source_;
};

}  // namespace quillet
