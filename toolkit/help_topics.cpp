#include "toolkit/help_menu_functions.h"

#include "platform/html_help.h"

namespace HelpMenuFunctions {

QString HelpFile;

void ShowHelpTopic(int context) {
    // The viewer speaks for itself about a missing file or topic; nothing is added here.
    platform::HtmlHelpA(0, HelpFile.toLocal8Bit().constData(), platform::HH_HELP_CONTEXT,
                        static_cast<platform::DWORD_PTR>(static_cast<uint32_t>(context)));
}

} // namespace HelpMenuFunctions
