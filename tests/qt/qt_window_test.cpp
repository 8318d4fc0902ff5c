// The Qt dialog driven through its widgets, headless (offscreen platform), with the core and a
// scripted port behind it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "frontends/qt/qt_updater_window.h"
#include "resources/dialog_layout.h"
#include "tests/support/fake_serial_port.h"

namespace korvelt {
namespace {

using qt::QtUpdaterWindow;

struct QtHarness {
  QtHarness() : port(clock), dialog(window, port, &window.channel()) {
    window.Attach(&dialog);
    port.Attach(&dialog);
    window.SetBoxInterceptor(
        [this](const QtUpdaterWindow::BoxRecord& box) { boxes.push_back(box); });
    dialog.OnInitDialog();
    window.show();
  }
  QPushButton* button(int id) { return qobject_cast<QPushButton*>(window.control(id)); }

  testing::VirtualClock clock;
  QtUpdaterWindow window;
  testing::FakeSerialPort port;
  UpdaterDialog dialog;
  std::vector<QtUpdaterWindow::BoxRecord> boxes;
};

TEST(QtWindow, RenderedFromTheLayoutTable) {
  QtHarness h;
  const DialogTemplate& layout = MainDialogTemplate();
  EXPECT_EQ(h.window.windowTitle().toStdString(), "KORVELT (RACK version) FIRMWARE UPDATER 1.0");
  EXPECT_EQ(h.window.built().tabOrder.size(), static_cast<int>(layout.controls.size()));
  const auto units = h.window.built().units;
  for (std::size_t i = 0; i < layout.controls.size(); ++i) {
    const ControlTemplate& control = layout.controls[i];
    QWidget* widget = h.window.built().tabOrder[static_cast<int>(i)];
    SCOPED_TRACE(control.id);
    EXPECT_EQ(widget->property("controlId").toInt(), control.id);
    EXPECT_EQ(widget->isVisibleTo(&h.window), control.visible);
    EXPECT_EQ(widget->isEnabled(), control.enabled);
    const QRect expected = qt::ToPixels(control.rect, units);
    EXPECT_EQ(widget->geometry().topLeft(), expected.topLeft());
    EXPECT_EQ(widget->width(), expected.width());
    if (control.kind == ControlKind::kPushButton || control.kind == ControlKind::kLabel) {
      const QString text = widget->property("text").toString();
      // The status label shows the member, not the template's text.
      if (control.id != IDC_STATUS && control.id != IDC_WAIT) {
        EXPECT_EQ(text.toStdString(), std::string(control.text));
      }
    }
  }
  // The focus chain visits the controls in template order (composite widgets such as the
  // editable combo put their own parts in between).
  QVector<QWidget*> chain;
  const auto& order = h.window.built().tabOrder;
  QWidget* walker = order.front();
  for (int steps = 0; steps < 1000 && chain.size() < order.size(); ++steps) {
    if (order.contains(walker) && !chain.contains(walker)) chain.append(walker);
    walker = walker->nextInFocusChain();
  }
  EXPECT_EQ(chain, order);
  EXPECT_EQ(h.window.size(), qt::ToPixels({0, 0, 337, 310}, units).size());
}

TEST(QtWindow, ListsAndStartState) {
  QtHarness h;
  auto* ports = qobject_cast<QComboBox*>(h.window.control(IDC_PORT_LIST));
  ASSERT_EQ(ports->count(), 100);
  EXPECT_EQ(ports->itemText(0), "COM1");
  EXPECT_EQ(ports->itemText(98), "COM99");
  EXPECT_EQ(ports->itemText(99), "");
  EXPECT_EQ(ports->currentIndex(), 0);
  auto* subMcu = qobject_cast<QComboBox*>(h.window.control(IDC_SUB_MCU_LIST));
  ASSERT_EQ(subMcu->count(), 11);
  EXPECT_EQ(subMcu->itemText(10), "LAN MCU");
  auto* note = qobject_cast<QPlainTextEdit*>(h.window.control(IDC_NOTE));
  EXPECT_EQ(note->toPlainText(), "Note: Only for KORVELT desk version firmware updating !");
  h.dialog.UpdateData(false);
  EXPECT_EQ(note->toPlainText(), "Note: Only for KORVELT \n desk version firmware\n updating !");
  EXPECT_EQ(h.window.GetControlText(IDC_NOTE), h.dialog.m_strNote) << "read back unchanged";
  EXPECT_EQ(qobject_cast<QLineEdit*>(h.window.control(IDC_PROGRESS))->text(), "0");
}

TEST(QtWindow, EveryVisibleButtonReachesTheCore) {
  QtHarness h;
  // Each click must show in the core: a port opened, a search started, or a refusal box.
  h.port.presentPorts = {2};
  QTest::mouseClick(h.button(IDC_PORT_BUTTON), Qt::LeftButton);
  EXPECT_EQ(h.port.opens.size(), 1u);
  ASSERT_EQ(h.boxes.size(), 1u);
  EXPECT_EQ(h.boxes[0].text.toStdString(), "Can not find this port or used by other application");

  for (int id : {IDC_SEARCH_GENERATOR, IDC_SEARCH_ANALYZER}) {
    const auto before = h.port.opens.size();
    QTest::mouseClick(h.button(id), Qt::LeftButton);
    EXPECT_GT(h.port.opens.size(), before) << id;
    EXPECT_EQ(h.dialog.m_bSearching, 1) << id;
    EXPECT_EQ(h.dialog.m_deviceType, id == IDC_SEARCH_GENERATOR ? 0 : 1);
  }
  // With the port closed, each update button answers with its refusal.
  QTest::mouseClick(h.button(IDC_PORT_BUTTON), Qt::LeftButton);  // opens the port searched
  EXPECT_EQ(h.dialog.m_bPortOpen, 1);
  QTest::mouseClick(h.button(IDC_PORT_BUTTON), Qt::LeftButton);
  ASSERT_EQ(h.dialog.m_bPortOpen, 0);
  struct Refusal {
    int id;
    const char* caption;
  } refusals[] = {{IDC_UPDATE_GENERATOR_MCU, "ISP"},
                  {IDC_GENERATOR_FPGA, "ISP"},
                  {IDC_UPDATE_ANALYZER_MCU, " ISP"},
                  {IDC_ANALYZER_FPGA, "ISP"}};
  for (const auto& r : refusals) {
    h.boxes.clear();
    QTest::mouseClick(h.button(r.id), Qt::LeftButton);
    ASSERT_EQ(h.boxes.size(), 1u) << r.id;
    EXPECT_EQ(h.boxes[0].text.toStdString(), "Please turn on the COM port first!") << r.id;
    EXPECT_EQ(h.boxes[0].caption.toStdString(), r.caption) << r.id;
  }
  // Disabled and hidden buttons do not click.
  const auto opens = h.port.opens.size();
  QTest::mouseClick(h.button(IDC_GENERATOR_DATA_FLASH), Qt::LeftButton);
  EXPECT_EQ(h.port.opens.size(), opens);
}

TEST(QtWindow, PortListChoiceOpensThatPortAndButtonFollowsState) {
  QtHarness h;
  h.port.presentPorts = {3};
  auto* ports = qobject_cast<QComboBox*>(h.window.control(IDC_PORT_LIST));
  ports->setCurrentIndex(2);
  emit ports->activated(2);
  EXPECT_EQ(h.port.opens.back().portNumber, 3);
  EXPECT_EQ(h.button(IDC_PORT_BUTTON)->text(), "Close Port");
  EXPECT_EQ(h.window.portIcon(), PortIcon::kOn);
  QTest::mouseClick(h.button(IDC_PORT_BUTTON), Qt::LeftButton);
  EXPECT_EQ(h.button(IDC_PORT_BUTTON)->text(), "Turn on Port");
  EXPECT_EQ(h.window.portIcon(), PortIcon::kOff);
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
}

TEST(QtWindow, TimersFireThroughQt) {
  QtHarness h;
  h.port.presentPorts = {1};
  QTest::mouseClick(h.button(IDC_PORT_BUTTON), Qt::LeftButton);
  ASSERT_EQ(h.dialog.m_bPortOpen, 1);
  h.window.StartTimer(kTimerAutoClose, 20);
  EXPECT_TRUE(QTest::qWaitFor([&] { return h.dialog.m_bPortOpen == 0; }, 2000));
  EXPECT_EQ(h.button(IDC_PORT_BUTTON)->text(), "Turn on Port");
}

TEST(QtWindow, EscapeEndsWithoutCloseHandlerAboutFromSystemCommand) {
  QtHarness h;
  h.dialog.Dispatch(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  EXPECT_EQ(h.window.aboutBoxesShown(), 1);
  QTest::keyClick(&h.window, Qt::Key_Escape);
  EXPECT_FALSE(h.window.isVisible());
  EXPECT_EQ(h.window.result(), IDCANCEL);
  EXPECT_EQ(h.dialog.m_pImage.size(), 10u) << "Escape does not pass OnClose";
}

// The keyboard as the dialog manager takes it: no button is a default one, Enter clicks the
// focused push button and is the dialog's OK anywhere else, Escape is its Cancel.
TEST(QtWindow, NoPushButtonBecomesTheDefaultOne) {
  QtHarness h;
  for (QWidget* widget : h.window.built().tabOrder) {
    auto* button = qobject_cast<QPushButton*>(widget);
    if (!button) continue;
    SCOPED_TRACE(button->text().toStdString());
    button->setFocus();
    EXPECT_FALSE(button->autoDefault());
    for (QPushButton* other : h.window.findChildren<QPushButton*>()) {
      EXPECT_FALSE(other->isDefault()) << other->text().toStdString();
    }
  }
}

TEST(QtWindow, EnterClicksTheFocusedButton) {
  QtHarness h;
  h.port.presentPorts = {1};
  ASSERT_EQ(h.window.focusWidget(), h.button(IDC_PORT_BUTTON)) << "start focus";
  QTest::keyClick(h.window.focusWidget(), Qt::Key_Return);
  EXPECT_EQ(h.dialog.m_bPortOpen, 1) << "Enter right after start is a click on Turn on Port";

  h.button(IDC_SEARCH_GENERATOR)->setFocus();
  QTest::keyClick(h.window.focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(h.dialog.m_bSearching, 1);
  EXPECT_EQ(h.dialog.m_deviceType, 0);
  EXPECT_TRUE(h.window.isVisible());
  QTest::keyClick(h.window.focusWidget(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_TRUE(h.window.isVisible()) << "Ctrl+Enter is no dialog key";
}

TEST(QtWindow, EnterInThePortListIsTheDialogsOk) {
  struct Case {
    const char* progressText;
    bool ends;
    const char* box;
  } cases[] = {
      {"0", true, nullptr},
      {"12.5x", false, "Please enter a number."},  // UpdateData(TRUE) fails: the dialog stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.progressText);
    QtHarness h;
    auto* ports = qobject_cast<QComboBox*>(h.window.control(IDC_PORT_LIST));
    qobject_cast<QLineEdit*>(h.window.control(IDC_PROGRESS))->setText(c.progressText);
    ports->setFocus();
    ports->lineEdit()->setText("COM7");  // typed, not chosen: no port opens
    for (QWidget* target :
         {static_cast<QWidget*>(ports), static_cast<QWidget*>(ports->lineEdit())}) {
      h.window.show();
      ports->setFocus();
      QTest::keyClick(target, Qt::Key_Return);
      EXPECT_EQ(h.window.isVisible(), !c.ends);
      if (c.ends) EXPECT_EQ(h.window.result(), IDOK);
      EXPECT_EQ(h.dialog.m_pImage.size(), 10u) << "Enter does not pass OnClose";
    }
    EXPECT_TRUE(h.port.opens.empty());
    if (c.box) {
      ASSERT_EQ(h.boxes.size(), 2u);
      EXPECT_EQ(h.boxes[0].text.toStdString(), c.box);
    } else {
      EXPECT_TRUE(h.boxes.empty());
    }
  }
}

TEST(QtWindow, EscapeIsTheDialogsCancelWhereverTheFocusIs) {
  for (int focus : {IDC_PORT_BUTTON, IDC_SEARCH_ANALYZER, IDC_PORT_LIST}) {
    SCOPED_TRACE(focus);
    QtHarness h;
    h.window.control(focus)->setFocus();
    QTest::keyClick(h.window.focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(h.window.isVisible());
    EXPECT_EQ(h.window.result(), IDCANCEL);
    EXPECT_TRUE(h.port.opens.empty()) << "Escape clicks nothing";
    EXPECT_EQ(h.dialog.m_pImage.size(), 10u);
  }
}

TEST(QtWindow, RestoreFromMinimisedKeepsTheFocus) {
  QtHarness h;
  h.button(IDC_SEARCH_ANALYZER)->setFocus();
  h.window.setWindowState(Qt::WindowMinimized);
  h.window.setWindowState(Qt::WindowNoState);
  h.window.show();
  EXPECT_EQ(h.window.focusWidget(), h.button(IDC_SEARCH_ANALYZER));
  QTest::keyClick(h.window.focusWidget(), Qt::Key_Return);
  EXPECT_FALSE(h.port.opens.empty()) << "the analyzer search ran";
  EXPECT_EQ(h.dialog.m_deviceType, 1);
}

// Dialog templates give text fields a fixed size; a label does not wrap and cuts what does
// not fit. The field is sized from the same font's dialog units.
TEST(QtWindow, AboutBoxTextsFitTheirFields) {
  QDialog about;
  const qt::BuiltDialog built = qt::BuildAboutBox(&about);
  int labels = 0;
  for (QWidget* widget : built.tabOrder) {
    auto* label = qobject_cast<QLabel*>(widget);
    if (!label || label->text().isEmpty()) continue;
    ++labels;
    SCOPED_TRACE(label->text().toStdString());
    const QFontMetrics metrics(label->font());
    EXPECT_LE(metrics.horizontalAdvance(label->text()), label->contentsRect().width());
    EXPECT_LE(metrics.height(), label->contentsRect().height());
  }
  EXPECT_EQ(labels, 2);
}

TEST(QtWindow, CloseBoxGoesThroughOnClose) {
  QtHarness h;
  h.window.close();
  EXPECT_FALSE(h.window.isVisible());
  EXPECT_TRUE(h.dialog.m_pImage.empty());
}

}  // namespace
}  // namespace korvelt

int main(int argc, char** argv) {
  // Headless unless told otherwise, also when the test list is read at build time.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
