#include "module/version_text.hpp"
