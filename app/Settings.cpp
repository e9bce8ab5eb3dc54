// The set-up remembered between runs, in the user's settings file (QSettings): the port box,
// the delay, the page showing, where the file dialogs open, the chip last chosen from the menu
// and the recent files. Every value is checked on the way in; a bad one leaves its default.
#include <QAction>
#include <QComboBox>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include "app/Main.h"
#include "app/QtSeams.h"
#include "chips/FastTransport.h"
#include "link/Portfunctions.h"

namespace quillet {

namespace {

constexpr const char* kRecentKeys[3] = {nullptr, "recentProgramFiles", "recentDataFiles"};

// An integer in [low, high], or fallback.
int IntIn(const QSettings& s, const char* key, int low, int high, int fallback) {
  bool ok = false;
  const int v = s.value(key).toInt(&ok);
  return ok && v >= low && v <= high ? v : fallback;
}

// A string of at most maxLength characters (a hand-edited file may hold anything), or "".
QString Text(const QSettings& s, const char* key, qsizetype maxLength = 4096) {
  const QVariant v = s.value(key);
  if (v.typeId() != QMetaType::QString) return QString();
  const QString text = v.toString();
  return text.size() <= maxLength ? text : QString();
}

QtUserPrompt* Prompt() { return dynamic_cast<QtUserPrompt*>(&GetUserPrompt()); }

}  // namespace

void TForm1::SettingsChanged() {
  if (!settingsEnabled_) return;
  if (!settingsTimer_) {
    settingsTimer_ = new QTimer(this);
    settingsTimer_->setSingleShot(true);
    settingsTimer_->setInterval(kSettingsDelayMs);
    connect(settingsTimer_, &QTimer::timeout, this, &TForm1::StoreSettings);
  }
  settingsTimer_->start();
}

QSettings& TForm1::Settings() {
  if (!settings_) settings_ = std::make_unique<QSettings>();
  return *settings_;
}

void TForm1::RestoreSettings(const QString& portArgument) {
  QSettings& s = Settings();
  settingsReadable_ = s.status() == QSettings::NoError;
  // From here on the set-up is written back when the window closes.
  settingsEnabled_ = true;
  if (!settingsReadable_) {
    if (!portArgument.isEmpty()) ComboBox1->setEditText(portArgument);
    return;
  }

  TrackBar1->setValue(IntIn(s, "delay", TrackBar1->minimum(), TrackBar1->maximum(), TrackBar1->value()));
  PageControl1->setCurrentIndex(IntIn(s, "page", 0, PageControl1->count() - 1, 0));
  const QString port = Text(s, "port", static_cast<qsizetype>(kMaxPortName));
  if (!portArgument.isEmpty())
    ComboBox1->setEditText(portArgument);
  else if (!port.isEmpty())
    ComboBox1->setEditText(port);

  if (QtUserPrompt* prompt = Prompt()) {
    prompt->SetChosenHandler([this] { SettingsChanged(); });
    prompt->SetOpenPlace({Text(s, "openFolder"), Text(s, "openFilter")});
    prompt->SetSavePlace({Text(s, "saveFolder"), Text(s, "saveFilter")});
  }

  for (int image = 1; image <= 2; ++image) {
    recent_[image].clear();
    const QVariant v = s.value(kRecentKeys[image]);
    const QStringList list = v.typeId() == QMetaType::QStringList ? v.toStringList()
                             : v.typeId() == QMetaType::QString   ? QStringList{v.toString()}
                                                                  : QStringList();
    for (const QString& path : list)
      if (recent_[image].size() < kRecentCount && path.startsWith('/') && path.size() <= 4096 &&
          !recent_[image].contains(path))
        recent_[image].append(path);
    RefreshRecentMenu(image);
  }

  // Written as "true" or "false"; anything else keeps the default (on).
  const QString fast = Text(s, "fastTransfers", 8);
  if (fast == QLatin1String("true") || fast == QLatin1String("false"))
    if (QAction* a = findChild<QAction*>(QStringLiteral("FastTransfers1")))
      a->setChecked(fast == QLatin1String("true"));

  // The user's size, within the screen and never below what the layout needs.
  const QVariant size = s.value("windowSize");
  if (size.typeId() == QMetaType::QSize && size.toSize().isValid() && size.toSize().width() <= 16384 &&
      size.toSize().height() <= 16384)
    resize(size.toSize().expandedTo(minimumSizeHint()));

  // Shown, not connected: the chip is selected as from the menu; nothing is sent.
  const QString chip = Text(s, "chip", 64);
  if (const ChipEntry* e = chip.isEmpty() ? nullptr : FindChipByName(chip.toStdString())) {
    ChipMenuClick(e->id);
  }
}

void TForm1::StoreSettings() {
  if (!settingsEnabled_) return;
  QSettings& s = Settings();
  // An unreadable file is left as it is rather than overwritten with half a set-up.
  if (!settingsReadable_ && s.status() == QSettings::AccessError) return;
  s.setValue("port", ComboBox1->currentText());
  s.setValue("delay", TrackBar1->value());
  s.setValue("page", PageControl1->currentIndex());
  s.setValue("windowSize", size());
  if (QtUserPrompt* prompt = Prompt()) {
    const QtUserPrompt::Place open = prompt->OpenPlace();
    const QtUserPrompt::Place save = prompt->SavePlace();
    s.setValue("openFolder", open.folder);
    s.setValue("openFilter", open.filter);
    s.setValue("saveFolder", save.folder);
    s.setValue("saveFilter", save.filter);
  }
  const ChipEntry* e = FindChip(handChip_);
  s.setValue("chip", e ? QString::fromUtf8(e->name) : QString());
  for (int image = 1; image <= 2; ++image) s.setValue(kRecentKeys[image], recent_[image]);
  s.setValue("fastTransfers", FastTransfersEnabled());
  s.sync();
}

}  // namespace quillet
