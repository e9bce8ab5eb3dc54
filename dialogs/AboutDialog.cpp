#include "dialogs/AboutDialog.h"

#include <QAccessibleWidget>
#include <QBoxLayout>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include "log/HostInterfaces.h"

namespace quillet {

AboutDialog* AboutBox = nullptr;
namespace {

constexpr char kGatewayDocument[] = "gateway.md";
constexpr char kReadme[] = "README.md";
constexpr char kUserGuide[] = "user-guide.md";

// Where a document may be, in the order it is looked for.
QStringList DocumentPlaces(const QString& exeDir, const QString& name) {
  return {QDir::cleanPath(exeDir + QStringLiteral("/../share/doc/quillet/") + name),
          QDir::cleanPath(exeDir + QStringLiteral("/docs/") + name)};
}

}  // namespace

QUrl FindDocument(const QString& exeDir, const QString& name) {
  for (const QString& place : DocumentPlaces(exeDir, name))
    if (QFileInfo(place).isFile()) return QUrl::fromLocalFile(QFileInfo(place).absoluteFilePath());
  return QUrl();
}

namespace {

// The dialog font of the other forms, 11 pixels: with the desktop's larger default the label
// texts run past the panel's right edge.
QFont DialogFont() {
  QFont font;
  if (QFontDatabase::hasFamily(QStringLiteral("MS Sans Serif"))) font = QFont(QStringLiteral("MS Sans Serif"));
  else if (QFontDatabase::hasFamily(QStringLiteral("Liberation Sans"))) font = QFont(QStringLiteral("Liberation Sans"));
  else font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(11);
  return font;
}

template <typename L = QLabel>
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text) {
  auto* label = new L(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignCenter);
  return label;
}

}  // namespace

// A label that is a link: a class of its own, so that the accessibility tree asks the box's
// factory for it before the one of Qt's labels.
class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;
};

namespace {

// A link of the box for assistive tools: a link by role, named by its text, opened by their
// "press" action as by a click.
class LinkAccessible : public QAccessibleWidget {
 public:
  explicit LinkAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::Link) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return static_cast<QLabel*>(widget())->text();
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
  void doAction(const QString& name) override {
    if (name == pressAction()) QMetaObject::invokeMethod(widget()->window(), "Activate", Q_ARG(QObject*, widget()));
    else QAccessibleWidget::doAction(name);
  }
};

QAccessibleInterface* LinkFactory(const QString&, QObject* object) {
  auto* label = qobject_cast<LinkLabel*>(object);
  return label ? new LinkAccessible(label) : nullptr;
}

void MakeLink(QLabel* label, bool underline) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::blue);
  label->setPalette(palette);
  QFont font = label->font();
  font.setUnderline(underline);
  label->setFont(font);
  label->adjustSize();
  label->setMouseTracking(true);  // the hand pointer is set on the first move over the label
  // Reached by Tab and opened by Enter or Space as well.
  label->setFocusPolicy(Qt::StrongFocus);
  label->setStyleSheet(QStringLiteral("QLabel:focus { border: 1px dotted; }"));
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QStringLiteral("About Quillet"));
  setFont(DialogFont());
  static const bool linksInstalled = (QAccessible::installFactory(LinkFactory), true);
  (void)linksInstalled;

  panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("panel"));
  // A sunken outer and a raised inner bevel: an etched groove.
  panel->setFrameStyle(QFrame::Box | QFrame::Sunken);
  panel->setLineWidth(1);
  panel->setMidLineWidth(0);

  Label1 = MakeLabel(panel, "Label1", QStringLiteral("A freeware program that was created"));
  Label2 = MakeLabel(panel, "Label2", QStringLiteral("to demonstrate the ability to program"));
  Label3 = MakeLabel(panel, "Label3", QStringLiteral("AVR microcontrollers via serial SPI with"));
  Label5 = MakeLabel<LinkLabel>(panel, "Label5", QStringLiteral("Tessary gateway"));
  Label6 = MakeLabel(panel, "Label6", QStringLiteral("Written by the Quillet developers"));
  Label7 = MakeLabel<LinkLabel>(panel, "Label7", QStringLiteral("quillet/README.md"));
  Label9 = MakeLabel(panel, "Label9", QStringLiteral("Get online help on using the program"));
  Label10 = MakeLabel(panel, "Label10", QStringLiteral("in the notes that come with it:"));
  Label11 = MakeLabel<LinkLabel>(panel, "Label11", QStringLiteral("Quillet help"));
  Label8 = MakeLabel(panel, "Label8", QStringLiteral("Version 3.0 beta"));
  Label12 = MakeLabel(panel, "Label12", QStringLiteral("2026"));
  MakeLink(Label5, true);
  MakeLink(Label7, true);
  MakeLink(Label11, false);
  for (QLabel* link : {Label5, Label7, Label11}) link->installEventFilter(this);
  {
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(1);
    for (QWidget* w : {Label1, Label2, Label3, Label5}) column->addWidget(w);
    column->addSpacing(14);
    for (QWidget* w : {Label6, Label7}) column->addWidget(w);
    column->addSpacing(14);
    for (QWidget* w : {Label9, Label10, Label11}) column->addWidget(w);
    column->addStretch(1);
    auto* foot = new QHBoxLayout;
    Label8->setAlignment(Qt::AlignLeft);
    Label12->setAlignment(Qt::AlignRight);
    foot->addWidget(Label8);
    foot->addWidget(Label12);
    column->addLayout(foot);
  }

  LocateDocuments(QCoreApplication::applicationDirPath());

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &AboutDialog::OKButtonClick);
  auto* whole = new QVBoxLayout(this);
  whole->setContentsMargins(8, 8, 8, 4);
  whole->addWidget(panel, 1);
  whole->addWidget(OKButton, 0, Qt::AlignHCenter);
  // The first size as it always was, larger where the desktop's font needs it.
  resize(QSize(258, 272).expandedTo(sizeHint()));
  OKButton->setFocus();
}

void AboutDialog::Activate(QObject* link) {
  if (link == Label5) Label5Click();
  else if (link == Label7) Label7Click();
  else if (link == Label11) Label11Click();
}

void AboutDialog::LocateDocuments(const QString& exeDir) {
  exeDir_ = exeDir;
  Label5Url = FindDocument(exeDir, QString::fromLatin1(kGatewayDocument));
  Label7Url = FindDocument(exeDir, QString::fromLatin1(kReadme));
  Label11Url = FindDocument(exeDir, QString::fromLatin1(kUserGuide));
}

void AboutDialog::setVisible(bool visible) {
  // Centred on the screen when first shown (not over the main window); afterwards it stays
  // where the user put it.
  if (visible && !placed_) {
    placed_ = true;
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
      QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QDialog::setVisible(visible);
}

void AboutDialog::OKButtonClick() {
  setResult(QDialog::Accepted);
  hide();
}

void AboutDialog::Label5Click() { OpenDocument(Label5Url, kGatewayDocument); }
void AboutDialog::Label7Click() { OpenDocument(Label7Url, kReadme); }
void AboutDialog::Label11Click() { OpenDocument(Label11Url, kUserGuide); }

void AboutDialog::OpenDocument(const QUrl& url, const char* name) {
  // Whether a browser opens is not ours to report; a document that is not there is.
  if (!url.isEmpty()) {
    QDesktopServices::openUrl(url);
    return;
  }
  const QStringList places = DocumentPlaces(exeDir_, QString::fromLatin1(name));
  GetUserPrompt().ShowMessage("Error", "The document " + std::string(name) + " was not found; it belongs in " +
                                           places.join(QStringLiteral(" or ")).toStdString());
}

bool AboutDialog::eventFilter(QObject* watched, QEvent* event) {
  auto* label = qobject_cast<QLabel*>(watched);
  if (label && (label == Label5 || label == Label7 || label == Label11)) {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space) return false;
      Activate(label);
      return true;
    }
    if (event->type() == QEvent::MouseMove) {
      label->setCursor(Qt::PointingHandCursor);
    } else if (event->type() == QEvent::MouseButtonRelease) {
      // A click: the left button let go over the label it was pressed on.
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || !label->rect().contains(mouse->position().toPoint())) return true;
      if (label == Label5) Label5Click();
      else if (label == Label7) Label7Click();
      else Label11Click();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace quillet

#include "AboutDialog.moc"
