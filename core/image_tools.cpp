#include "core/image_tools.h"
