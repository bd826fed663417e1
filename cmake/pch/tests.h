// The test units' shared headers, compiled once per build (cmake/WharfPch.cmake).
#include "code.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
