#include "core/date_extractor.h"
