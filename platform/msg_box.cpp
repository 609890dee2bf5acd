#include "platform/msg_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

namespace platform {

namespace {

MsgBoxResponder& responder() {
    static MsgBoxResponder r;
    return r;
}

int defaultButton(int style) {
    switch (style & 7) {
    case vbOKCancel:
        return vbOK;
    case vbYesNo:
        return vbYes;
    default:
        return vbOK;
    }
}

} // namespace

void SetMsgBoxResponder(MsgBoxResponder r) {
    responder() = std::move(r);
}

int MsgBox(const QString& prompt, int style, const QString& title) {
    const QString caption = title.isEmpty() ? QString::fromLatin1(kDefaultMsgBoxTitle) : title;
    if (responder()) {
        return responder()(prompt, style, caption);
    }
    const bool widgets = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
    if (!widgets || QGuiApplication::platformName() == QLatin1String("offscreen")) {
        QString flat = prompt;
        flat.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     flat.toLocal8Bit().constData());
        return defaultButton(style);
    }
    QMessageBox box;
    box.setWindowTitle(caption);
    QString text = prompt;
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(text);
    switch (style & 0x70) {
    case vbCritical:
        box.setIcon(QMessageBox::Critical);
        break;
    case vbQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case vbExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case vbInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    switch (style & 7) {
    case vbOKCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case vbYesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel:
        return vbCancel;
    case QMessageBox::Yes:
        return vbYes;
    case QMessageBox::No:
        return vbNo;
    default:
        return vbOK;
    }
}

} // namespace platform
