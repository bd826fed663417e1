// The headers nearly every unit of the project parses, compiled once per build
// (see cmake/WharfPch.cmake): the JSON library and GLib alone are most of what
// a unit costs to compile.
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
