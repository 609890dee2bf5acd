#pragma once

#include <QObject>
#include <QString>

// The tip-of-the-day component: set the program's name and folder, then Show a section's tips.
// The tip window lives on by itself; the object may be released as soon as Show returns.
class TipDialog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString ProgramName READ ProgramName WRITE setProgramName)
    Q_PROPERTY(QString Path READ Path WRITE setPath)

public:
    using QObject::QObject;

    QString ProgramName() const { return programName_; }
    void setProgramName(const QString& name) { programName_ = name; }
    QString Path() const { return path_; }
    void setPath(const QString& path) { path_ = path; }

    // Opens the tip window on a tip of the section (or brings the open one forward) and returns.
    Q_INVOKABLE void Show(const QString& section);

private:
    QString programName_;
    QString path_;
};
