#pragma once

#include "platform/notify_icon.h"

#include <QObject>
#include <QString>

namespace Kelvaring {

// The library's one creatable class: four texts and an icon for the About window, and Show.
// Members are reached by name; the object keeps nothing beyond them, and the window does not
// depend on it once shown.
class AboutDialog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString ProgramName READ ProgramName WRITE SetProgramName)
    Q_PROPERTY(QString SubTitle READ SubTitle WRITE SetSubTitle)
    Q_PROPERTY(QString VersionInfo READ VersionInfo WRITE SetVersionInfo)
    Q_PROPERTY(QString PackageName READ PackageName WRITE SetPackageName)
    // Set as a reference: the caller's picture object itself is kept.
    Q_PROPERTY(platform::PictureRef ProgIcon READ ProgIcon WRITE SetProgIcon)

public:
    explicit AboutDialog(QObject* parent = nullptr);

    QString ProgramName() const { return programName_; }
    void SetProgramName(const QString& Name) { programName_ = Name; }
    QString SubTitle() const { return subTitle_; }
    void SetSubTitle(const QString& Title) { subTitle_ = Title; }
    QString VersionInfo() const { return versionInfo_; }
    void SetVersionInfo(const QString& Info) { versionInfo_ = Info; }
    QString PackageName() const { return packageName_; }
    void SetPackageName(const QString& Name) { packageName_ = Name; }
    platform::PictureRef ProgIcon() const { return progIcon_; }
    void SetProgIcon(const platform::PictureRef& Picture) { progIcon_ = Picture; }

    // Fills the library's About window and shows it modeless and without an owner; returns at
    // once, the window staying until the user closes it.
    Q_INVOKABLE void Show();

private:
    QString programName_;
    QString subTitle_;
    QString versionInfo_;
    QString packageName_;
    platform::PictureRef progIcon_;
};

} // namespace Kelvaring
