// Everything a module of the package needs to talk to the interpreter.
#pragma once

#include "pfnc/buffer.hpp"
#include "pfnc/calls.hpp"
#include "pfnc/chars.hpp"
#include "pfnc/checks.hpp"
#include "pfnc/class_tree.hpp"
#include "pfnc/classes.hpp"
#include "pfnc/construct.hpp"
#include "pfnc/errors.hpp"
#include "pfnc/function.hpp"
#include "pfnc/globals.hpp"
#include "pfnc/kept.hpp"
#include "pfnc/logging.hpp"
#include "pfnc/module.hpp"
#include "pfnc/readers.hpp"
#include "pfnc/ref.hpp"
#include "pfnc/str.hpp"
