#include "platform/common_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

CommonDialog::Responder& responder() {
    static CommonDialog::Responder r;
    return r;
}

// Every file, whether or not its name holds a dot.
QString localPattern(const QString& pattern) {
    return pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern;
}

} // namespace

CommonDialog::CommonDialog(QWidget* owner) : QObject(owner), owner_(owner) {}

void CommonDialog::SetResponder(Responder r) {
    responder() = std::move(r);
}

QStringList CommonDialog::NameFilters(const QString& filter) {
    QStringList out;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        QStringList local;
        for (const QString& pattern : patterns) {
            local.append(localPattern(pattern.trimmed()));
        }
        const QString written = QLatin1Char('(') + parts[i + 1] + QLatin1Char(')');
        const QString wanted = QLatin1Char('(') + local.join(QLatin1Char(' ')) + QLatin1Char(')');
        // A description that shows its patterns shows them as this system reads them.
        if (description.contains(written)) {
            description.replace(written, wanted);
        } else {
            description += QLatin1Char(' ') + wanted;
        }
        out.append(description);
    }
    return out;
}

bool CommonDialog::ShowSave() {
    if (responder()) {
        const QString before = fileName_;
        const bool confirmed = responder()(*this);
        if (!confirmed) {
            fileName_ = before;
        }
        return finish(confirmed);
    }
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "%s: cancelled (no one to answer)\n",
                     dialogTitle_.toLocal8Bit().constData());
        return finish(false);
    }

    QPointer<CommonDialog> self(this);
    QPointer<QFileDialog> dialog = new QFileDialog(owner_, dialogTitle_);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    const QStringList filters = NameFilters(filter_);
    if (!filters.isEmpty()) {
        dialog->setNameFilters(filters);
        dialog->selectNameFilter(filters.value(filterIndex_ - 1, filters.first()));
    }
    if (!fileName_.isEmpty()) {
        const QFileInfo info(fileName_);
        if (info.dir().exists()) {
            dialog->setDirectory(info.absolutePath());
        }
        dialog->selectFile(info.fileName());
    }
    const bool confirmed = dialog->exec() == QDialog::Accepted;
    // The owner may have gone while the dialog was open; then nobody is left to tell.
    if (!self) {
        delete dialog.data();
        return false;
    }
    if (dialog) {
        if (confirmed) {
            fileName_ = dialog->selectedFiles().value(0);
            filterIndex_ = std::max(1, int(filters.indexOf(dialog->selectedNameFilter())) + 1);
        }
        delete dialog.data();
    }
    return finish(confirmed);
}

bool CommonDialog::finish(bool confirmed) {
    if (!confirmed && cancelError_) {
        throw CommonDialogCancelled();
    }
    return confirmed;
}

} // namespace platform
