#include <gtest/gtest.h>

#include "AppGroups.hpp"
