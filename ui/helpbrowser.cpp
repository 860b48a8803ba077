#include "helpbrowser.h"
