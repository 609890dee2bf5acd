#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <stdexcept>

class QWidget;

namespace platform {

// Raised by ShowSave for a cancelled dialog when CancelError is on.
class CommonDialogCancelled : public std::runtime_error {
public:
    static constexpr int kErrorNumber = 32755;
    CommonDialogCancelled() : std::runtime_error("Cancel was selected.") {}
};

// The common file dialog: a control with no face of its own that shows the system's modal
// save-file dialog on request. A file name, a title and a filter are set before showing it; the
// file name is read back afterwards.
class CommonDialog : public QObject {
    Q_OBJECT
public:
    // The file dialog is modal to the owner's window.
    explicit CommonDialog(QWidget* owner = nullptr);

    bool CancelError() const { return cancelError_; }
    void SetCancelError(bool on) { cancelError_ = on; }
    QString FileName() const { return fileName_; }
    void SetFileName(const QString& name) { fileName_ = name; }
    QString DialogTitle() const { return dialogTitle_; }
    void SetDialogTitle(const QString& title) { dialogTitle_ = title; }
    // Pairs of description and patterns, all joined by "|": "Text (*.txt)|*.txt|All|*.*".
    QString Filter() const { return filter_; }
    void SetFilter(const QString& filter) { filter_ = filter; }
    // The choice of the filter shown first, from 1; afterwards the one the operator took.
    int FilterIndex() const { return filterIndex_; }
    void SetFilterIndex(int index) { filterIndex_ = index; }

    // Shows the save-file dialog and waits until it closes. Confirmed: FileName holds the chosen
    // path and the result is true. Cancelled: FileName is left as it was and the result is
    // false, or CommonDialogCancelled is thrown when CancelError is on. An existing file is
    // taken without a question. On the offscreen platform nobody could answer, so the dialog
    // counts as cancelled at once.
    bool ShowSave();

    // The filter as the name filters of a file dialog: "*.*" stands for every file here.
    static QStringList NameFilters(const QString& filter);

    // Tests answer the dialog themselves: the responder sees the dialog's settings, may set
    // FileName and FilterIndex, and returns whether the operator confirmed.
    using Responder = std::function<bool(CommonDialog& dialog)>;
    static void SetResponder(Responder responder);

private:
    bool finish(bool confirmed);

    QWidget* owner_;
    bool cancelError_ = false;
    QString fileName_;
    QString dialogTitle_;
    QString filter_;
    int filterIndex_ = 1;
};

} // namespace platform
