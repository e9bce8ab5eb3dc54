#include "app/PortList.h"

#include <QSerialPortInfo>
#include <algorithm>

namespace quillet {

QList<PortItem> PortItems(QList<PortFacts> ports) {
  std::stable_sort(ports.begin(), ports.end(), [](const PortFacts& a, const PortFacts& b) {
    if (a.vendor.has_value() != b.vendor.has_value()) return a.vendor.has_value();
    return a.name < b.name;
  });
  QList<PortItem> items;
  for (const PortFacts& p : ports) {
    if (p.location.isEmpty()) continue;
    const QString name = p.name.isEmpty() ? p.location : p.name;
    QString what = p.description.trimmed();
    if (what.isEmpty()) what = p.manufacturer.trimmed();
    if (what.isEmpty() && p.vendor && p.product)
      what = QStringLiteral("USB serial %1:%2").arg(*p.vendor, 4, 16, QChar('0')).arg(*p.product, 4, 16, QChar('0'));
    QStringList details;
    if (!p.manufacturer.trimmed().isEmpty()) details << p.manufacturer.trimmed();
    if (p.vendor && p.product)
      details << QStringLiteral("%1:%2").arg(*p.vendor, 4, 16, QChar('0')).arg(*p.product, 4, 16, QChar('0'));
    details << p.location;
    items.append({what.isEmpty() ? p.location : QStringLiteral("%1 (%2)").arg(what, name), p.location,
                  details.join(QStringLiteral(", ")), p.vendor.has_value()});
  }
  for (int i = 1; i <= 10; ++i) {
    const QString com = QStringLiteral("COM%1").arg(i);
    items.append({com, com, QStringLiteral("/dev/ttyS%1").arg(i - 1)});
  }
  return items;
}

QList<PortFacts> SystemPorts() {
  QList<PortFacts> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    PortFacts p{info.systemLocation(), info.portName(), info.description(), info.manufacturer(), {}, {}};
    if (info.hasVendorIdentifier()) p.vendor = info.vendorIdentifier();
    if (info.hasProductIdentifier()) p.product = info.productIdentifier();
    ports.append(p);
  }
  return ports;
}

PortBox::PortBox(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::activated, this, [this](int index) {
    const QString device = itemData(index).toString();
    if (!device.isEmpty() && currentText() != device) setEditText(device);
  });
}

void PortBox::SetSource(PortSource source) {
  source_ = std::move(source);
  Refill();
}

void PortBox::Refill() {
  const QString text = currentText();
  const bool blocked = blockSignals(true);
  clear();
  for (const PortItem& item : PortItems(source_ ? source_() : QList<PortFacts>())) {
    addItem(item.text, item.device);
    setItemData(count() - 1, item.details, Qt::ToolTipRole);
  }
  setCurrentIndex(-1);
  setEditText(text);
  blockSignals(blocked);
}

QString PortBox::Device() const {
  const QString text = currentText();
  const int i = findText(text);
  return i >= 0 && !itemData(i).toString().isEmpty() ? itemData(i).toString() : text;
}

void PortBox::showPopup() {
  Refill();
  QComboBox::showPopup();
}

}  // namespace quillet
