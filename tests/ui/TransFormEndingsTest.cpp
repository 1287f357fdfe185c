// The transfer window when something else goes on: a window closed mid-transfer, the
// partner's connection ending, replies from another partner, a data connection that cannot be
// made, and the file dialogs.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <filesystem>

#include "TransFormTestSupport.h"
#include "ui/TransForm.h"
#include "wire/Packet.h"

namespace vox::testing {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

// Stop-and-wait, so that a large file is still on its way when the test acts.
class TransFormEndingsTest : public TransFormTest {
  protected:
    TransFormEndingsTest() : TransFormTest(kTransferPieceBytes) {}

    // Starts sending a large (sparse) file and returns once both ends show progress.
    std::string StartLargeTransfer() {
        const std::string source = send.Dir.File("big.bin");
        WriteFileBytes(source, "");
        fs::resize_file(source, 64u << 20);
        TTransForm* receiving = Offer(QString::fromStdString(source));
        EXPECT_NE(receiving, nullptr);
        Child<QPushButton>(receiving, "OkBitBtn")->click();
        EXPECT_TRUE(Pump([&] {
            return recv.Window()->ProgressPosition() > 0 && send.Window()->ProgressPosition() > 0;
        }));
        return source;
    }
    // As the user does: a folder, then a name typed, then the dialog's own button.
    static void Pick(QFileDialog* dialog, const std::string& folder, const char* name) {
        dialog->setDirectory(QString::fromStdString(folder));
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(Q(name));
        static_cast<QDialog*>(dialog)->accept();
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog did not take " << name;
            dialog->reject();
        }
    }
    static bool EndsWith(const std::vector<std::string>& logs, std::string_view tail) {
        return std::any_of(logs.begin(), logs.end(), [&](const std::string& line) {
            return line.size() >= tail.size() && line.ends_with(tail);
        });
    }
};

TEST_F(TransFormEndingsTest, ClosingTheReceivingWindowMidTransferStopsBothEnds) {
    StartLargeTransfer();
    recv.Window()->close();  // the close box
    EXPECT_EQ(recv.Window(), nullptr);
    EXPECT_TRUE(recv.HasLog("big.bin の受信を中断しました。")) << recv.AllLogs();
    // The sender finds its receiver gone and closes after its delay.
    ASSERT_TRUE(Pump([&] { return send.Window() == nullptr; })) << send.AllLogs();
    EXPECT_TRUE(send.HasLog("big.bin は相手が転送を中止したため送信できませんでした。"))
        << send.AllLogs();
    Flush();
    // The unfinished file is not left behind; nothing was said on the conversation.
    EXPECT_FALSE(fs::exists(recv.RecvFolder() + "big.bin"));
    EXPECT_FALSE(send.HasLog("ファイルの転送を断られました。"));
}

TEST_F(TransFormEndingsTest, ClosingTheSendingWindowMidTransferStopsBothEnds) {
    StartLargeTransfer();
    send.Window()->close();
    EXPECT_EQ(send.Window(), nullptr);
    EXPECT_TRUE(send.HasLog("big.bin の送信を中断しました。")) << send.AllLogs();
    ASSERT_TRUE(Pump([&] { return recv.Window() == nullptr; })) << recv.AllLogs();
    EXPECT_TRUE(recv.HasLog("big.bin は相手が転送を中止したため受信できませんでした。"))
        << recv.AllLogs();
}

TEST_F(TransFormEndingsTest, NothingIsWrittenToAConversationThatHasEnded) {
    const std::string source = send.Dir.File("a.txt");
    WriteFileBytes(source, "abc");
    TTransForm* receiving = Offer(QString::fromStdString(source));
    ASSERT_NE(receiving, nullptr);
    recv.Core->DisconnectAll();
    ASSERT_TRUE(Pump([&] { return recv.Members.empty() && send.Members.empty(); }));
    for (TTransForm* form : {receiving, send.Window()}) {
        EXPECT_EQ(form->PartnerThread(), nullptr);
        EXPECT_FALSE(Child<QPushButton>(form, "OkBitBtn")->isEnabled());
        EXPECT_FALSE(Child<QPushButton>(form, "BrowseButton")->isEnabled());
    }
    // OK (Enter) does nothing; Cancel only closes.
    QTest::keyClick(Child<QLineEdit>(receiving, "FileNameEdit"), Qt::Key_Return);
    EXPECT_EQ(recv.Window(), receiving);
    Child<QPushButton>(receiving, "CancelBitBtn")->click();
    Child<QPushButton>(send.Window(), "CancelBitBtn")->click();
    EXPECT_EQ(recv.Window(), nullptr);
    EXPECT_EQ(send.Window(), nullptr);
    Flush();
}

TEST_F(TransFormEndingsTest, RepliesFromAnotherPartnerAreIgnored) {
    TRawPeer raw = RawCallsSender();
    const std::string source = send.Dir.File("a.txt");
    WriteFileBytes(source, "abc");
    ASSERT_NE(Offer(QString::fromStdString(source)), nullptr);
    TTransForm* sending = send.Window();
    raw.Send(BuildTransferReply(rcAccepted, {}));
    raw.Send(BuildTransferReply(rcRefused, Sj("いやです")));
    ASSERT_TRUE(Pump([&] { return send.HasLog("ファイルの転送を断られました。"); }));
    EXPECT_TRUE(send.HasLog("いやです"));
    EXPECT_EQ(send.Window(), sending);
    EXPECT_EQ(sending->windowTitle(), Q("a.txt を送信準備中です。"));

    // The real partner's acceptance still works.
    Child<QPushButton>(recv.Window(), "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return !send.Window() && !recv.Window(); }));
    EXPECT_EQ(ReadFileBytes(recv.RecvFolder() + "a.txt"), "abc");
}

TEST_F(TransFormEndingsTest, ADataConnectionThatFailsLeavesTheConversationStanding) {
    TRawPeer raw = RawCallsSender();
    const std::string source = send.Dir.File("ソース.txt");
    WriteFileBytes(source, "abcdef");
    send.Windows->OpenSendWindow(send.Members.at(1).first, send.Members.at(1).second);
    TTransForm* sending = send.Window();
    EXPECT_EQ(Child<QLabel>(sending, "PartnerLabel")->text(), Q("rawさん へ"));
    Child<QLineEdit>(sending, "FileNameEdit")->setText(QString::fromStdString(source));
    Child<QPushButton>(sending, "OkBitBtn")->click();
    // One packet: the name part only, in CP932, the size and the own transfer port.
    EXPECT_EQ(raw.ReceivePacket(),
              BuildTransferRequest(Sj("ソース.txt"), 6, static_cast<std::uint16_t>(transferPort)));

    // Accepted, but nobody listens on that port.
    raw.Send(BuildTransferReply(rcAccepted, {}));
    const std::string failed = "ソース.txt をエラーが発生して送信に失敗しました。";
    ASSERT_TRUE(Pump([&] { return send.HasLog(failed); })) << send.AllLogs();
    EXPECT_EQ(sending->windowTitle(), QString::fromStdString(failed));
    EXPECT_FALSE(raw.ClosedByOtherEnd(200));
    EXPECT_EQ(send.Members.size(), 2u);
    // The partner may still refuse, which closes the window.
    raw.Send(BuildTransferReply(rcRefused, {}));
    ASSERT_TRUE(Pump([&] { return send.Window() == nullptr; }));
}

TEST_F(TransFormEndingsTest, FileDialogsPickTheFileAndTheSavingPlace) {
    const std::string source = send.Dir.File("picked.txt");
    WriteFileBytes(source, "picked");
    TTransForm* sending = OpenSending(QString());
    WhenModal<QFileDialog>([&](QFileDialog* dialog) {
        EXPECT_EQ(dialog->objectName(), "OpenDialog1");
        EXPECT_EQ(dialog->nameFilters(), QStringList{Q("すべてのファイル ( * )")});
        Pick(dialog, send.Dir.Path(), "picked.txt");
    });
    Child<QPushButton>(sending, "BrowseButton")->click();
    EXPECT_EQ(Child<QLineEdit>(sending, "FileNameEdit")->text().toStdString(), source);
    Child<QPushButton>(sending, "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return recv.Window() != nullptr; }));

    // The save dialog starts in the received-files folder with the proposed name; a place
    // picked elsewhere is used as picked.
    fs::create_directory(recv.Dir.File("elsewhere"));
    const std::string target = recv.Dir.File("elsewhere/mine.txt");
    QString startFolder, startName;
    WhenModal<QFileDialog>([&](QFileDialog* dialog) {
        startFolder = dialog->directory().absolutePath() + u'/';
        startName = dialog->selectedFiles().value(0);
        Pick(dialog, recv.Dir.File("elsewhere"), "mine.txt");
    });
    Child<QPushButton>(recv.Window(), "BrowseButton")->click();
    EXPECT_EQ(startFolder.toStdString(), recv.RecvFolder());
    EXPECT_EQ(startName.toStdString(), recv.RecvFolder() + "picked.txt");
    EXPECT_EQ(Child<QLineEdit>(recv.Window(), "FileNameEdit")->text().toStdString(), target);
    Child<QPushButton>(recv.Window(), "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return !send.Window() && !recv.Window(); }));
    EXPECT_EQ(ReadFileBytes(target), "picked");
}

}  // namespace
}  // namespace vox::testing
