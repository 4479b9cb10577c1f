#pragma once
// The base sits under every subsystem: including one of them runs upwards.
#include "support/Text.h"
#include "web/Crossing.h"
