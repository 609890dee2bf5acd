// The configuration dialog's list of permitted address ranges: adding, deleting, and the list
// read from and written back to the process's ranges.
#include "server/config_form.h"

#include "engine/ip_range.h"
#include "platform/msg_box.h"
#include "toolkit/ip_functions.h"

#include <QListWidget>

#include <algorithm>

namespace {

// Stands in the list exactly when it holds no range line.
constexpr const char* kAllAddresses = "< all IP addresses >";
// A range line: "From " + start + " to " + end.
constexpr const char* kLineStart = "From ";
constexpr const char* kLineMiddle = " to ";
// Only range lines begin with it.
constexpr const char* kRangeMark = "From";

QString rangeLine(const QString& start, const QString& end) {
    return QLatin1String(kLineStart) + start + QLatin1String(kLineMiddle) + end;
}

bool isRangeLine(const QString& line) {
    return line.left(4) == QLatin1String(kRangeMark);
}

// Leading and trailing blanks go; other white space stays, as address text treats it.
QString trimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' ')) {
        ++first;
    }
    while (last > first && text.at(last - 1) == QLatin1Char(' ')) {
        --last;
    }
    return text.mid(first, last - first);
}

void showRefusal(const char* message) {
    platform::MsgBox(QLatin1String(message), platform::vbExclamation | platform::vbOKOnly);
}

} // namespace

QStringList ConfigForm::PermitLines() const {
    QStringList lines;
    if (!PermitList) {
        return lines;
    }
    for (int i = 0; i < PermitList->count(); ++i) {
        lines.append(PermitList->item(i)->text());
    }
    return lines;
}

void ConfigForm::LoadRanges() {
    IPRangeList& ranges = IPRanges();
    for (int i = 0; i < ranges.Count(); ++i) {
        PermitList->addItem(rangeLine(ranges.Item(i).StartIP(), ranges.Item(i).EndIP()));
    }
    if (PermitList->count() == 0) {
        PermitList->addItem(QLatin1String(kAllAddresses));
    }
}

void ConfigForm::FromIP_GotFocus() {
    FromIP->setSelection(0, int(FromIP->text().size()));
}

void ConfigForm::ToIP_GotFocus() {
    ToIP->setSelection(0, int(ToIP->text().size()));
}

void ConfigForm::FromIP_KeyPress(qint16& KeyAscii) {
    if (KeyAscii == 13) {
        KeyAscii = 0;
        ToIP->setFocus(Qt::OtherFocusReason);
        ToIP_GotFocus();
    }
}

void ConfigForm::ToIP_KeyPress(qint16& KeyAscii) {
    if (KeyAscii == 13) {
        KeyAscii = 0;
        Add_Range_Button_Click();
    }
}

void ConfigForm::Add_Range_Button_Click() {
    static constexpr const char* kBadStart =
        "You did not enter a valid starting IP address for the range.";
    static constexpr const char* kBadEnd =
        "You did not enter a valid ending IP address for the range.";
    static constexpr const char* kStartAboveEnd =
        "Your starting IP Address is greater than your ending IP Address.";
    static constexpr const char* kExists = "That address range already exists.";
    static constexpr const char* kFull = "No more than 100 address ranges can be stored.";

    // After its message the box in question has the focus and its text selected for retyping,
    // unless the dialog went while the message stood.
    const quint64 generation = LoadGeneration();
    auto refuse = [this, generation](const char* message, bool start) {
        showRefusal(message);
        if (!StillOpen(generation)) {
            return;
        }
        ConfigTextBox* box = start ? FromIP : ToIP;
        box->setFocus(Qt::OtherFocusReason);
        start ? FromIP_GotFocus() : ToIP_GotFocus();
    };

    const QString from = FromIP->text();
    const QString to = ToIP->text();
    if (!IP_Functions::IsValidIP(from)) {
        refuse(kBadStart, true);
        return;
    }
    if (!IP_Functions::IsValidIP(to)) {
        refuse(kBadEnd, false);
        return;
    }
    // Equal ends pass: a range may hold one address.
    if (IP_Functions::IPToNumber(from) > IP_Functions::IPToNumber(to)) {
        refuse(kStartAboveEnd, true);
        return;
    }
    const QString line = rangeLine(trimBlanks(from), trimBlanks(to));
    const QStringList lines = PermitLines();
    if (lines.contains(line)) {
        refuse(kExists, true);
        return;
    }
    // A range beyond what the store keeps would be obeyed now and gone after a restart.
    if (std::count_if(lines.begin(), lines.end(), isRangeLine) >= kMaxRanges) {
        refuse(kFull, true);
        return;
    }
    PermitList->addItem(line);
    const QList<QListWidgetItem*> placeholders = PermitList->findItems(
        QLatin1String(kAllAddresses), Qt::MatchExactly | Qt::MatchCaseSensitive);
    qDeleteAll(placeholders);
}

void ConfigForm::Delete_Button_Click() {
    static constexpr const char* kSelectFirst = "You must select an address range first.";

    const QList<QListWidgetItem*> selected = PermitList->selectedItems();
    if (selected.isEmpty() || selected.first()->text().isEmpty()) {
        const quint64 generation = LoadGeneration();
        showRefusal(kSelectFirst);
        if (StillOpen(generation)) {
            PermitList->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    if (isRangeLine(selected.first()->text())) {
        delete selected.first();
        PermitList->clearSelection();
        PermitList->setCurrentRow(-1);
    }
    if (PermitList->count() == 0) {
        PermitList->addItem(QLatin1String(kAllAddresses));
    }
}

void ConfigForm::ApplyRanges() {
    // Built apart first, so that the process's ranges are replaced in one go.
    IPRangeList ranges;
    for (const QString& line : PermitLines()) {
        if (!isRangeLine(line)) {
            continue;
        }
        const QString text = line.mid(5);
        const qsizetype middle = text.indexOf(QLatin1String(kLineMiddle));
        if (middle < 0) {
            continue;
        }
        IPRange range;
        range.SetStartIP(trimBlanks(text.left(middle)));
        range.SetEndIP(trimBlanks(text.mid(middle + 4)));
        ranges.Add(range);
    }
    IPRangeList& current = IPRanges();
    current.Clear();
    for (int i = 0; i < ranges.Count(); ++i) {
        current.Add(ranges.Item(i));
    }
    SaveIPRanges();
}
