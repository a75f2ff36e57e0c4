#include "core/ocr.h"
