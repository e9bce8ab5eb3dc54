// STUB: the dialogs' global instances until their own files define them.
#include "dialogs/AboutBox.h"
#include "dialogs/LBar.h"
#include "dialogs/LockFusesForm.h"
namespace quillet {
TLBar* LBar = nullptr;
TAboutBox* AboutBox = nullptr;
TLockFusesForm* LockFusesForm = nullptr;
}
