#include "relocate/core_state.h"

CoreState coreState;
