// The object model, in three headers: interfaces and static calls
// (interface.h), classes, components and bindings (component.h), and objects
// and references (reference.h).
#pragma once
#include "norvo/component.h"
#include "norvo/interface.h"
#include "norvo/reference.h"
