// Placeholder until the framework tests land.
#include <gtest/gtest.h>
