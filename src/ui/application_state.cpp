#include "ui/application_state.h"

ApplicationState appState;
