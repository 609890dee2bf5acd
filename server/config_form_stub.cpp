#include "server/config_form_stub.h"

void ShowConfigForm() {}
