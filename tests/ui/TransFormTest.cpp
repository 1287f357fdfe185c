// The transfer window at both ends of a real transfer over loopback: the offer, acceptance,
// refusal and busy answers, the checks before anything is sent, and the partner or the window
// going away in the middle.
#include "ui/TransForm.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "TransFormTestSupport.h"
#include "platform/IniFile.h"
#include "settings/Settings.h"
#include "wire/Packet.h"

namespace vox::testing {
namespace {

namespace fs = std::filesystem;
using test::FolderEntries;
using test::ReadFileBytes;
using test::WriteFileBytes;

std::string Bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

TEST_F(TransFormTest, FileArrivesWithCaptionsProgressAndLogsAndBothWindowsClose) {
    const std::string data = Bytes(70000, 7);
    const std::string source = send.Dir.File("資料 1.bin");
    WriteFileBytes(source, data);

    TTransForm* sending = OpenSending(QString::fromStdString(source));
    EXPECT_EQ(sending->windowTitle(), Q("送信ファイルを選択してください。"));
    EXPECT_EQ(Child<QLabel>(sending, "PartnerLabel")->text(), Q("たろうさん へ"));
    EXPECT_EQ(Child<QLabel>(sending, "Label1")->text(), Q("ファイル名："));
    EXPECT_EQ(Child<QLineEdit>(sending, "FileNameEdit")->accessibleName(), Q("ファイル名"));
    EXPECT_EQ(Child<QPushButton>(sending, "BrowseButton")->text(), Q("参照"));
    EXPECT_EQ(Child<QPushButton>(sending, "CancelBitBtn")->accessibleName(), Q("キャンセル"));
    EXPECT_EQ(Child<QTimer>(sending, "FinalizeTimer")->interval(), 150);
    EXPECT_NE(Child<QFileDialog>(sending, "OpenDialog1"), nullptr);
    // Without a remembered position the window sits in the lower right corner.
    const QRect screen = sending->screen()->availableGeometry();
    EXPECT_EQ(sending->frameGeometry().bottomRight(), screen.bottomRight());
    EXPECT_EQ(sending->TransferMode(), Q("SEND"));
    EXPECT_EQ(sending->DataPort(), transferPort);

    std::vector<std::string> sendCaptions, recvCaptions;
    QObject::connect(sending, &QWidget::windowTitleChanged, sending,
                     [&](const QString& t) { sendCaptions.push_back(t.toStdString()); });
    // Enter presses OK.
    QTest::keyClick(Child<QLineEdit>(sending, "FileNameEdit"), Qt::Key_Return);
    ASSERT_TRUE(Pump([&] { return recv.Window() != nullptr; })) << send.AllLogs();
    TTransForm* receiving = recv.Window();
    EXPECT_FALSE(Child<QPushButton>(sending, "OkBitBtn")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(sending, "BrowseButton")->isEnabled());
    EXPECT_EQ(receiving->windowTitle(), Q("ファイル受信依頼を受信しました。"));
    EXPECT_EQ(Child<QLabel>(receiving, "PartnerLabel")->text(), Q("はなこさん から"));
    EXPECT_EQ(Child<QLineEdit>(receiving, "FileNameEdit")->text(), Q("資料 1.bin"));
    EXPECT_EQ(receiving->FileSize(), 70000);
    EXPECT_EQ(receiving->ProgressMaximum(), 70000);
    EXPECT_EQ(receiving->DataPort(), transferPort);
    EXPECT_EQ(receiving->PartnerAddress(), "127.0.0.1");
    // A partner in the clear: the file goes in the clear as well.
    EXPECT_FALSE(receiving->DataEncrypted());
    EXPECT_FALSE(sending->DataEncrypted());

    QObject::connect(receiving, &QWidget::windowTitleChanged, receiving,
                     [&](const QString& t) { recvCaptions.push_back(t.toStdString()); });
    std::int64_t sendBar = -1, recvBar = -1;
    QObject::connect(sending, &TTransForm::Closed, [&] { sendBar = sending->ProgressPosition(); });
    QObject::connect(receiving, &TTransForm::Closed,
                     [&] { recvBar = receiving->ProgressPosition(); });
    Child<QPushButton>(receiving, "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return !send.Window() && !recv.Window(); }))
        << send.AllLogs() << recv.AllLogs();

    const std::string saved = recv.RecvFolder() + "資料 1.bin";
    EXPECT_EQ(ReadFileBytes(saved), data);
    EXPECT_EQ(sendBar, 70000);
    EXPECT_EQ(recvBar, 70000);
    EXPECT_EQ(sendCaptions, (std::vector<std::string>{"資料 1.bin を送信準備中です。",
                                                      "資料 1.bin を送信中です。",
                                                      "資料 1.bin の送信を完了しました。"}));
    EXPECT_EQ(recvCaptions, (std::vector<std::string>{"資料 1.bin を受信待機中です。",
                                                      "資料 1.bin を受信中です。",
                                                      "資料 1.bin の受信を完了しました。"}));
    EXPECT_TRUE(recv.HasLog(saved + " を保存しました。")) << recv.AllLogs();
    EXPECT_TRUE(send.HasLog(source + " の送信を完了しました。")) << send.AllLogs();
    // Closing remembered where the window was.
    TIniFile ini(recv.Dir.File("Voxilen.Ini"));
    EXPECT_TRUE(ini.ValueExists("Global", "TransFormLeft"));
    EXPECT_TRUE(ini.ValueExists("Global", "TransFormTop"));
}

class EncryptedTransFormTest : public TransFormTest {
  protected:
    EncryptedTransFormTest() : TransFormTest(kSendWindowBytes, true) {}
};

TEST_F(EncryptedTransFormTest, AnEncryptedConversationsFileGoesEncryptedAndArrivesWhole) {
    ASSERT_EQ(send.Members.at(0).second->Security(), TPartnerSecurity::Encrypted);
    const std::string data = Bytes(300000, 11);
    const std::string source = send.Dir.File("secret.bin");
    WriteFileBytes(source, data);
    TTransForm* receiving = Offer(QString::fromStdString(source));
    ASSERT_NE(receiving, nullptr);
    EXPECT_TRUE(receiving->DataEncrypted());
    EXPECT_TRUE(send.Window()->DataEncrypted());
    Child<QPushButton>(receiving, "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return !send.Window() && !recv.Window(); }, 20000))
        << send.AllLogs() << recv.AllLogs();
    EXPECT_EQ(ReadFileBytes(recv.RecvFolder() + "secret.bin"), data);
    EXPECT_TRUE(send.HasLog(source + " の送信を完了しました。")) << send.AllLogs();
}

TEST_F(TransFormTest, OfferShowsTheSizeAndTheEndOffersToOpenTheFileAndItsFolder) {
    const std::string data = Bytes(1234567, 9);
    const std::string source = send.Dir.File("資料.pdf");
    WriteFileBytes(source, data);
    TTransForm* receiving = Offer(QString::fromStdString(source));
    ASSERT_NE(receiving, nullptr);
    EXPECT_EQ(receiving->StatusText(), Q("はなこさんから 資料.pdf（1.2 MB）"));
    EXPECT_FALSE(receiving->OffersToOpen());

    Child<QPushButton>(receiving, "OkBitBtn")->click();
    // Both windows stay open for the closing delay once done; look at them then.
    ASSERT_TRUE(Pump([&] {
        return recv.Window() && recv.Window()->OffersToOpen() && send.Window() &&
               send.Window()->OffersToOpen();
    })) << recv.AllLogs()
        << send.AllLogs();
    const std::string saved = recv.RecvFolder() + "資料.pdf";
    EXPECT_TRUE(recv.Window()->StatusText().startsWith(Q("1.2 MB\u3000完了")))
        << recv.Window()->StatusText().toStdString();
    EXPECT_EQ(Child<QPushButton>(recv.Window(), "OpenButton")->text(), Q("開く"));
    EXPECT_EQ(Child<QPushButton>(recv.Window(), "OpenFolderButton")->text(), Q("フォルダを開く"));
    Child<QPushButton>(recv.Window(), "OpenButton")->click();
    Child<QPushButton>(recv.Window(), "OpenFolderButton")->click();
    Child<QPushButton>(send.Window(), "OpenFolderButton")->click();
    EXPECT_EQ(recv.Opened, (std::vector<std::string>{saved, recv.Dir.Path() + "/Recieved"}));
    EXPECT_EQ(send.Opened, std::vector<std::string>{send.Dir.Path()});
    EXPECT_EQ(ReadFileBytes(saved), data);
}

TEST_F(TransFormTest, ProgressShowsBytesDoneOfTotalRateAndTimeLeft) {
    const std::string source = send.Dir.File("a.bin");
    WriteFileBytes(source, "abc");
    TTransForm* receiving = Offer(QString::fromStdString(source));
    ASSERT_NE(receiving, nullptr);
    // What the receiving thread reports, shown by hand: no rate before time has passed.
    receiving->SetProgressRange(10'000'000);
    receiving->SetProgress(0);
    EXPECT_EQ(receiving->StatusText(), Q("0 B / 10.0 MB"));
    PumpFor(300);
    receiving->SetProgress(2'500'000);
    const QString text = receiving->StatusText();
    EXPECT_TRUE(text.startsWith(Q("2.5 MB / 10.0 MB\u3000"))) << text.toStdString();
    EXPECT_TRUE(text.contains(Q("/s\u3000残り "))) << text.toStdString();
    // Not offered to open: the transfer did not complete.
    receiving->TransferThreadEnded();
    EXPECT_FALSE(receiving->OffersToOpen());
}

TEST(TransferFiguresTest, SizesAndDurationsAsTheWindowWritesThem) {
    EXPECT_EQ(ByteSizeText(0), QStringLiteral("0 B"));
    EXPECT_EQ(ByteSizeText(999), QStringLiteral("999 B"));
    EXPECT_EQ(ByteSizeText(12'345), QStringLiteral("12.3 KB"));
    EXPECT_EQ(ByteSizeText(12'300'000), QStringLiteral("12.3 MB"));
    EXPECT_EQ(ByteSizeText(2'147'483'647), QStringLiteral("2.15 GB"));
    EXPECT_EQ(DurationText(0), QStringLiteral("0:00"));
    EXPECT_EQ(DurationText(75), QStringLiteral("1:15"));
    EXPECT_EQ(DurationText(3725), QStringLiteral("1:02:05"));
}

TEST_F(TransFormTest, AnOfferedNameTooLongForTheFileSystemIsShortenedKeepingItsExtension) {
    // 90 three-byte characters: 270 bytes and ".txt", offered as CP932 (180 bytes) by a partner
    // whose file system took it.
    std::string name;
    for (int i = 0; i < 90; ++i) {
        name += "資";
    }
    TTransferOffer offer;
    offer.PartnerName = Sj("はなこ");
    offer.PartnerAddress = "127.0.0.1";
    offer.Connection = recv.Members.at(0).second;
    offer.FileName = Utf8ToCp932(name + ".txt");
    offer.FileSize = 3;
    offer.Port = transferPort;
    recv.Windows->OpenReceiveWindow(offer);
    ASSERT_NE(recv.Window(), nullptr);
    const QString proposed = Child<QLineEdit>(recv.Window(), "FileNameEdit")->text();
    EXPECT_LE(proposed.toUtf8().size(), 255);
    EXPECT_TRUE(proposed.endsWith(Q("資.txt"))) << proposed.toStdString();
    EXPECT_TRUE(recv.Window()->StatusText().contains(proposed));
}

TEST_F(TransFormTest, RememberedPositionIsUsed) {
    WriteTransFormPosition(send.Dir.File("Voxilen.Ini"), {12, 34});
    TTransForm* form = OpenSending(QString());
    EXPECT_EQ(form->pos(), QPoint(12, 34));
    form->move(40, 50);
    form->close();
    EXPECT_EQ(ReadTransFormPosition(send.Dir.File("Voxilen.Ini"), 0, 0).Left, 40);
    EXPECT_EQ(ReadTransFormPosition(send.Dir.File("Voxilen.Ini"), 0, 0).Top, 50);
}

TEST_F(TransFormTest, EscOnTheReceivingEndRefusesAndTheSenderCloses) {
    const std::string source = send.Dir.File("a.txt");
    WriteFileBytes(source, "abc");
    TTransForm* receiving = Offer(QString::fromStdString(source));
    ASSERT_NE(receiving, nullptr);
    QTest::keyClick(receiving, Qt::Key_Escape);
    EXPECT_EQ(recv.Window(), nullptr);
    ASSERT_TRUE(Pump([&] { return send.Window() == nullptr; })) << send.AllLogs();
    EXPECT_TRUE(send.HasLog("ファイルの受信を拒否します。"));
    EXPECT_TRUE(send.HasLog("ファイルの転送を断られました。"));
    EXPECT_TRUE(fs::is_empty(recv.RecvFolder()));
}

TEST_F(TransFormTest, AnOfferWhileAWindowIsOpenIsAnsweredBusyAndLeavesItAlone) {
    recv.Windows->OpenSendWindow(recv.Members.at(0).first, recv.Members.at(0).second);
    TTransForm* open = recv.Window();
    const std::string source = send.Dir.File("a.txt");
    WriteFileBytes(source, "abc");
    TTransForm* sending = OpenSending(QString::fromStdString(source));
    Child<QPushButton>(sending, "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return send.HasLog("ファイルの転送中のため、少々お待ちください。"); }));
    EXPECT_EQ(recv.Window(), open);
    EXPECT_EQ(open->TransferMode(), Q("SEND"));
    EXPECT_EQ(open->windowTitle(), Q("送信ファイルを選択してください。"));
    EXPECT_EQ(Child<QLabel>(open, "PartnerLabel")->text(), Q("はなこさん へ"));
    // The sender stays open, its offer spent.
    EXPECT_EQ(send.Window(), sending);
    EXPECT_FALSE(Child<QPushButton>(sending, "OkBitBtn")->isEnabled());
    // "ファイル転送" again only brings the open window to the front.
    send.Windows->OpenSendWindow(Q("other"), nullptr);
    EXPECT_EQ(send.Window(), sending);
}

TEST_F(TransFormTest, ChecksBeforeOffering) {
    // A missing file, then a file too large for the 32-bit size: a message, nothing sent.
    const QString missing = QString::fromStdString(send.Dir.File("none.bin"));
    TTransForm* sending = OpenSending(missing);
    Child<QPushButton>(sending, "OkBitBtn")->click();
    const std::string big = send.Dir.File("big.bin");
    WriteFileBytes(big, "");
    fs::resize_file(big, std::uintmax_t{1} << 31);  // sparse
    auto* edit = Child<QLineEdit>(sending, "FileNameEdit");
    edit->setText(QString::fromStdString(big));
    Child<QPushButton>(sending, "OkBitBtn")->click();
    EXPECT_EQ(send.Messages,
              (std::vector<std::string>{missing.toStdString() + " が見つかりません。",
                                        big + " は2GB以上のため送信できません。"}));
    EXPECT_TRUE(Child<QPushButton>(sending, "OkBitBtn")->isEnabled());
    EXPECT_EQ(sending->windowTitle(), Q("送信ファイルを選択してください。"));
    PumpFor(200);
    EXPECT_EQ(recv.Window(), nullptr);

    // One byte less can be offered.
    fs::resize_file(big, (std::uintmax_t{1} << 31) - 1);
    Child<QPushButton>(sending, "OkBitBtn")->click();
    ASSERT_TRUE(Pump([&] { return recv.Window() != nullptr; }));
    EXPECT_EQ(recv.Window()->FileSize(), 0x7FFFFFFF);
    EXPECT_EQ(recv.Window()->ProgressMaximum(), 0x7FFFFFFF);

    // The receiving end needs a name, and asks before overwriting.
    TTransForm* receiving = recv.Window();
    auto* name = Child<QLineEdit>(receiving, "FileNameEdit");
    name->setText(QString());
    Child<QPushButton>(receiving, "OkBitBtn")->click();
    EXPECT_EQ(recv.Messages, std::vector<std::string>{"保存ファイル名がありません。"});
    WriteFileBytes(recv.RecvFolder() + "old.bin", "old");
    name->setText(Q("old.bin"));
    QString question;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    Child<QPushButton>(receiving, "OkBitBtn")->click();
    const QString full = QString::fromStdString(recv.RecvFolder() + "old.bin");
    EXPECT_EQ(question, full + Q(" は既に存在します。上書きしますか？"));
    EXPECT_EQ(name->text(), full);
    EXPECT_TRUE(Child<QPushButton>(receiving, "OkBitBtn")->isEnabled());
    EXPECT_EQ(receiving->windowTitle(), Q("ファイル受信依頼を受信しました。"));
}

TEST_F(TransFormTest, AHostileNameIsSavedInsideTheFolderAndAcceptanceFollowsListening) {
    // A partner of its own making offers "..\..\x".
    send.Core->StartListening(0);
    TRawPeer raw = TRawPeer::Connect(recv.Core->ListeningPort(), "127.0.0.2");
    raw.Send(ConnectPacket(Sj("raw")));
    ASSERT_FALSE(raw.ReceivePacket().empty());
    const int port = FreePort();
    raw.Send(BuildTransferRequest("..\\..\\x", 5, static_cast<std::uint16_t>(port)));
    ASSERT_TRUE(Pump([&] { return recv.Window() != nullptr; }));
    TTransForm* receiving = recv.Window();
    EXPECT_EQ(Child<QLineEdit>(receiving, "FileNameEdit")->text(), Q("x"));
    Child<QPushButton>(receiving, "OkBitBtn")->click();
    const Packet reply = raw.ReceivePacket();
    EXPECT_EQ(reply, BuildTransferReply(rcAccepted, {}));
    EXPECT_EQ(reply.size(), 19u);
    // Listening already when the acceptance arrives.
    TRawPeer data = TRawPeer::Connect(port, "127.0.0.2");
    ASSERT_TRUE(data.Valid());
    data.Send("hello");
    EXPECT_EQ(data.Receive(8).size(), 8u);
    ASSERT_TRUE(Pump([&] { return recv.HasLog(recv.RecvFolder() + "x を保存しました。"); }))
        << recv.AllLogs();
    EXPECT_EQ(ReadFileBytes(recv.RecvFolder() + "x"), "hello");
    EXPECT_EQ(FolderEntries(recv.Dir.Path()), (std::vector<std::string>{"Recieved"}));
}

}  // namespace
}  // namespace vox::testing
