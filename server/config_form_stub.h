#pragma once

// The configuration dialog ConfigForm, shown modally with no owner; returns when it closes.
// The dialog is not built yet: this does nothing for now.
void ShowConfigForm();
