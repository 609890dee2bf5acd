#include "about/about_dialog.h"

#include "about/about_form.h"
#include "platform/ss_panel.h"

#include <QLabel>

namespace Kelvaring {

AboutDialog::AboutDialog(QObject* parent) : QObject(parent) {}

void AboutDialog::Show() {
    // An open window is reused with whatever the last Show left in it.
    AboutForm* form = AboutForm::Instance();
    AboutForm::SetCaption(form->ProgramName, programName_);
    AboutForm::SetCaption(form->ProgramShadow, programName_);
    AboutForm::SetCaption(form->PackageName, packageName_);
    AboutForm::SetCaption(form->PackageShadow, packageName_);
    form->FitPackageName();
    AboutForm::SetCaption(form->SubTitle, subTitle_);
    AboutForm::SetCaption(form->SubTitleShadow, subTitle_);
    form->VersionInfo->SetCaption(versionInfo_);
    if (progIcon_) {
        form->ProgramIcon->SetPicture(progIcon_);
    }
    // A window shown again comes to the front; a new one opens there anyway. Either way it takes
    // the keys, so that Enter and Esc close it at once.
    const bool wasOpen = form->isVisible();
    form->show();
    if (wasOpen) {
        form->raise();
    }
    form->activateWindow();
}

} // namespace Kelvaring
