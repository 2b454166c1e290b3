#include "UrlRecorder.h"
