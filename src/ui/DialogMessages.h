// What the dialogs share: user-error messages, the error box, accessible names from captions.
#pragma once

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace vox::ui {

// A user error: a beep, then a modal box with the fixed text and an OK button.
inline void ShowUserMessage(QWidget* parent, const QString& text) {
    QApplication::beep();
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

// A failure that stops a handler (the settings file cannot be written, a call cannot be
// made): the application's error box with the failure's own text.
inline void ShowErrorBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

// A chat line with characters that cannot travel: shows which, and the line as partners will
// see it. True: send it so; false: back to the line to edit it (also Escape and closing).
inline bool ConfirmLossyLine(QWidget* parent, const QString& lost, const QString& arrives) {
    QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationDisplayName(),
                    QStringLiteral("次の文字は相手に届きません（「?」になります）：%1").arg(lost),
                    QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("LossyLineBox"));
    box.setInformativeText(QStringLiteral("相手にはこう届きます：\n%1").arg(arrives));
    QPushButton* send = box.addButton(QStringLiteral("このまま送信"), QMessageBox::AcceptRole);
    QPushButton* edit = box.addButton(QStringLiteral("編集に戻る"), QMessageBox::RejectRole);
    send->setAccessibleName(send->text());
    edit->setAccessibleName(edit->text());
    box.setDefaultButton(edit);
    box.setEscapeButton(edit);
    box.exec();
    return box.clickedButton() == send;
}

// A label's caption as the name of the field it labels: without its trailing colon.
inline QString FieldNameOf(QString caption) {
    while (caption.endsWith(QStringLiteral("：")) || caption.endsWith(u':')) {
        caption.chop(1);
    }
    return caption;
}

// A pass-phrase field: every character shows as "*", whatever the style's own choice.
inline void MakePassPhraseField(QLineEdit* edit) {
    class TAsteriskStyle : public QProxyStyle {
      public:
        int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                      QStyleHintReturn* returnData) const override {
            if (hint == SH_LineEdit_PasswordCharacter) {
                return '*';
            }
            return QProxyStyle::styleHint(hint, option, widget, returnData);
        }
    };
    auto* style = new TAsteriskStyle;
    style->setParent(edit);  // lives as long as the field
    edit->setStyle(style);
    edit->setEchoMode(QLineEdit::Password);
}

}  // namespace vox::ui
