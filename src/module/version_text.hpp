// Interpreter-free helpers of the import-time version check.
#pragma once
