// The donor unit of a precompiled header: it compiles nothing of its own.
