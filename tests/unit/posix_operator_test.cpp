// The operator channel on a pipe and the dialogs that read its answers.
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "posix/charset.h"
#include "posix/operator.h"
#include "posix/window.h"

namespace tv::posix {
namespace {

// A pipe for the channel and one that stands for standard error.
class PosixOperatorTest : public ::testing::Test {
 protected:
  PosixOperatorTest() {
    EXPECT_EQ(pipe(in_), 0);
    EXPECT_EQ(pipe2(err_, O_NONBLOCK), 0);
    console = std::make_unique<Console>(err_[1], false);
    channel = std::make_unique<OperatorChannel>(in_[0], queue, *console);
    window = std::make_unique<PosixWindow>(*console, *channel);
  }
  ~PosixOperatorTest() override {
    window.reset();
    channel.reset();
    for (int fd : {in_[0], in_[1], err_[0], err_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  void Type(const std::string& text) {
    ASSERT_EQ(write(in_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void EndInput() {
    close(in_[1]);
    in_[1] = -1;
  }
  // What was written to the stand-in for standard error (UTF-8).
  std::string Screen() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(err_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  std::vector<Msg> Messages() {
    std::vector<Msg> out;
    Msg m;
    while (queue.Peek(m)) {
      Msg removed;
      queue.RemoveForMain(m.id, removed);
      out.push_back(removed);
    }
    return out;
  }

  PosixQueue queue;
  std::unique_ptr<Console> console;
  std::unique_ptr<OperatorChannel> channel;
  std::unique_ptr<PosixWindow> window;

  int in_[2] = {-1, -1};
  int err_[2] = {-1, -1};
};

TEST_F(PosixOperatorTest, EventLinesBecomeMessagesAndTheRestAreAnswers) {
  Type(u8"click ok\nyes\r\n  Interrupt \nclick dvě slova\n\nclose\nok Příliš\nclick\n");
  std::vector<Msg> msgs = Messages();
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[0].id, WM_OPERATOR_CLICK);
  EXPECT_EQ(queue.TakeClickedMark(msgs[0].wParam), "ok");
  EXPECT_EQ(msgs[1].id, WM_OPERATOR_INTERRUPT);
  EXPECT_EQ(msgs[2].id, WM_OPERATOR_CLICK);
  EXPECT_EQ(queue.TakeClickedMark(msgs[2].wParam), "dvě slova") << "converted to Windows-1250";
  EXPECT_EQ(msgs[3].id, kWmSysCommand);
  EXPECT_EQ(msgs[3].wParam, kScClose);
  EXPECT_NE(Screen().find("click"), std::string::npos) << "a click without a mark is reported";
  Bytes answer;
  ASSERT_TRUE(channel->NextAnswer(answer));
  EXPECT_EQ(answer, "yes");
  ASSERT_TRUE(channel->NextAnswer(answer));
  EXPECT_EQ(answer, "ok Příliš");
  EndInput();
  EXPECT_FALSE(channel->NextAnswer(answer));
  EXPECT_TRUE(channel->Ended());
}

TEST_F(PosixOperatorTest, MessageBoxShowsItsBlockAndTakesTheFirstAnswerThatFits) {
  Type("yes\nok\n");
  EXPECT_EQ(window->MessageBox("Řádek 1\nŘádek 2", "Zpráva scriptu", kMbOkCancel | 0x40), kIdOk);
  std::string screen = Screen();
  EXPECT_EQ(screen.find(u8"[Zpráva scriptu] Řádek 1\nŘádek 2\n"), 0u) << screen;
  EXPECT_NE(screen.find("\"yes\""), std::string::npos) << "the answer that did not fit is named";
  Type("no\n");
  EXPECT_EQ(window->MessageBox("?", "Otázka", kMbYesNoCancel), kIdNo);
  Type("CANCEL\n");
  EXPECT_EQ(window->MessageBox("?", "Otázka", kMbYesNoCancel), kIdCancel);
  Type("cancel\nok\n");
  EXPECT_EQ(window->MessageBox("chyba", "*** CHYBA ***", kMbOk), kIdOk);
  Type("yes please\ncancel\n");
  EndInput();
  EXPECT_EQ(window->MessageBox("?", "Otázka", kMbYesNo), kIdYes) << "no fit, then the default";
}

TEST_F(PosixOperatorTest, DialogsTakeTheirDefaultsWhenInputHasEnded) {
  EndInput();
  EXPECT_EQ(window->MessageBox("t", "T", kMbOkCancel), kIdOk);
  EXPECT_EQ(window->MessageBox("t", "T", kMbYesNoCancel), kIdYes);
  EXPECT_EQ(window->MessageBox("t", "T", kMbYesNo | kMbIconQuestion), kIdYes);
  Bytes text = "old";
  EXPECT_EQ(window->InputLine("Zadejte řádku", text), kIdOk);
  EXPECT_EQ(text, "") << "the field starts empty";
  Bytes server = "host";
  int port = 23;
  EXPECT_EQ(window->ConnectParams(server, port), kIdOk);
  EXPECT_EQ(server, "host");
  EXPECT_EQ(port, 23);
  port = 110;
  EXPECT_EQ(window->AcceptParams(port), kIdOk);
  EXPECT_EQ(port, 110);
  std::string screen = Screen();
  EXPECT_NE(screen.find(u8"[Zadejte řádku]\n"), std::string::npos);
  EXPECT_NE(screen.find("[Parametry pro Connect] host 23\n"), std::string::npos);
  EXPECT_NE(screen.find("[Parametry pro Accept] 110\n"), std::string::npos);
}

TEST_F(PosixOperatorTest, InputConnectAndAcceptAnswers) {
  Type(u8"ok  dvě mezery \nok\ncancel\n");
  Bytes text;
  EXPECT_EQ(window->InputLine("p", text), kIdOk);
  EXPECT_EQ(text, " dvě mezery ") << "the text after one blank, as typed";
  EXPECT_EQ(window->InputLine("p", text), kIdOk);
  EXPECT_EQ(text, "");
  text = "kept";
  EXPECT_EQ(window->InputLine("p", text), kIdCancel);
  EXPECT_EQ(text, "kept");

  Type("ok server\nok server port\nok 10.0.0.1 8080\ncancel\n");
  Bytes server = "a";
  int port = 1;
  EXPECT_EQ(window->ConnectParams(server, port), kIdOk);
  EXPECT_EQ(server, "10.0.0.1");
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(window->ConnectParams(server, port), kIdCancel);
  EXPECT_EQ(server, "10.0.0.1");

  Type("ok abc\nok 99999999999\nok -5\n");
  port = 7;
  EXPECT_EQ(window->AcceptParams(port), kIdOk);
  EXPECT_EQ(port, -5) << "a number field takes any integer";
  std::string screen = Screen();
  EXPECT_NE(screen.find("\"ok server port\""), std::string::npos);
  EXPECT_NE(screen.find("\"ok abc\""), std::string::npos);
  EXPECT_NE(screen.find("\"ok 99999999999\""), std::string::npos);
}

// The typist follows the screen: it types once the box is shown, and the
// answer only once the box has read the lines before it (it names the one
// that does not fit), so the box waits with nothing to answer it in between.
TEST_F(PosixOperatorTest, EventsArrivingWhileADialogWaitsArePosted) {
  std::string screen;
  std::thread typist([this, &screen] {
    auto waitFor = [this, &screen](const std::string& text) {
      while (screen.find(text) == std::string::npos) {
        pollfd p{err_[0], POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        screen += Screen();
      }
    };
    waitFor("[Q] ?\n");
    Type("click A\ninterrupt\nmaybe\n");
    waitFor("\"maybe\"");
    Type("no\n");
  });
  EXPECT_EQ(window->MessageBox("?", "Q", kMbYesNo), kIdNo);
  typist.join();
  EXPECT_NE(screen.find("\"maybe\""), std::string::npos) << screen;
  std::vector<Msg> msgs = Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].id, WM_OPERATOR_CLICK);
  EXPECT_EQ(msgs[1].id, WM_OPERATOR_INTERRUPT);
}

TEST_F(PosixOperatorTest, CheckBoxesAndTheirState) {
  window->CreateCheckBox(3, "m", "Hotovo?", Rect{});
  EXPECT_EQ(window->GetCheck(3), 0);
  window->SetCheck(3, 1);
  EXPECT_EQ(window->GetCheck(3), 1);
  window->DestroyCheckBox(3);
  window->CreateCheckBox(3, "n", "n", Rect{});
  EXPECT_EQ(window->GetCheck(3), 0) << "a new box starts unchecked";
  EXPECT_EQ(Screen(), u8"[check-box m] Hotovo?\n[check-box m] zrušen\n[check-box n] n\n");
}

TEST(PosixChannelSource, UnreadableInputCountsAsEnded) {
  PosixQueue queue;
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  Console console(err[1], false);
  int fd = open("/dev/null", O_WRONLY);
  OperatorChannel writeOnly(fd, queue, console);
  EXPECT_TRUE(writeOnly.Ended());
  Bytes answer;
  EXPECT_FALSE(writeOnly.NextAnswer(answer));
  close(fd);
  OperatorChannel closed(987, queue, console);
  EXPECT_TRUE(closed.Ended());
  close(err[0]);
  close(err[1]);
}

TEST(PosixCharset, TableAgreesWithTheSystemConverter) {
  iconv_t cd = iconv_open("UTF-8", "CP1250");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (int b = 0x20; b < 0x100; ++b) {
    if (b == 0x7F) continue;
    char in[1] = {static_cast<char>(b)};
    char out[8];
    char* ip = in;
    char* op = out;
    size_t il = 1, ol = sizeof out;
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
      EXPECT_EQ(Cp1250ToUnicode(static_cast<unsigned char>(b)), 0xFFFDu) << "byte " << b;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    std::string expected(out, static_cast<size_t>(op - out));
    EXPECT_EQ(ToUtf8ForDisplay(Bytes(1, static_cast<char>(b))), expected) << "byte " << b;
    EXPECT_EQ(FromUtf8(expected), Bytes(1, static_cast<char>(b))) << "byte " << b;
  }
  iconv_close(cd);
}

TEST(PosixCharset, DisplayAndInputEdges) {
  EXPECT_EQ(ToUtf8ForDisplay("a\r\nb\tc\x1b[2Jd"), "a\nb\tc?[2Jd") << "no terminal control";
  EXPECT_EQ(ToUtf8ForDisplay(Bytes("x\0y", 3)), "x?y");
  EXPECT_EQ(FromUtf8(u8"Kč €"), "K\xE8 \x80");
  EXPECT_EQ(FromUtf8(u8"\u65E5\u672C"), "??") << "not in the code page";
  EXPECT_EQ(FromUtf8("\xE8\xE1st"), "\xE8\xE1st") << "not UTF-8: taken as it is";
  EXPECT_EQ(FromUtf8("\xC0\x80"), "\xC0\x80") << "an overlong form is not UTF-8";
}

}  // namespace
}  // namespace tv::posix

namespace tv::posix {
namespace {

std::string ReadPipe(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEST(PosixConsole, LiveStatusLineIsClearedAroundBoxesAndFitsOneLine) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  Console console(p[1], true);
  console.SetStatus("Script spuštěn.");
  EXPECT_EQ(ReadPipe(p[0]), u8"\rScript spuštěn.\x1b[K");
  console.Print("[T] text\n");
  EXPECT_EQ(ReadPipe(p[0]), u8"\r\x1b[K[T] text\n\rScript spuštěn.\x1b[K");
  console.SetStatus(std::string(200, 'x') + "\n");
  EXPECT_EQ(ReadPipe(p[0]), "\r" + std::string(79, 'x') + "\x1b[K") << "cut to the width";
  console.Finish();
  EXPECT_EQ(ReadPipe(p[0]), "\r\x1b[K");
  console.Print("[T] after\n");
  EXPECT_EQ(ReadPipe(p[0]), "[T] after\n");

  Console plain(p[1], false);
  plain.SetStatus("nothing shown");
  plain.Print("[T] x\n");
  EXPECT_EQ(ReadPipe(p[0]), "[T] x\n");
  close(p[0]);
  close(p[1]);
}

}  // namespace
}  // namespace tv::posix
