#pragma once

// libORV-Common hides its symbols by default; exported classes carry this mark.
#define ORV_COMMON_EXPORT __attribute__((visibility("default")))
