// Everything a module of the package needs to talk to the interpreter.
#pragma once

#include "pfnc/calls.hpp"
#include "pfnc/checks.hpp"
#include "pfnc/classes.hpp"
#include "pfnc/construct.hpp"
#include "pfnc/function.hpp"
#include "pfnc/module.hpp"
#include "pfnc/ref.hpp"
#include "pfnc/str.hpp"
