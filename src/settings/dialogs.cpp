#include "settings/dialogs.h"
