#include <gtest/gtest.h>

#include "BootEnforcer.hpp"
