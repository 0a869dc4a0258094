// The public names of engine classes. Each alias adds nothing of its own:
// the engine classes are final or made only by their factories, so a type
// alias is the honest form; each alias has what its base class has
// (QLFAMeasurement::sharedInstance() is the engine's shared instance).
// Aliases of classes later work builds (the screen-view and ad-exposure
// reporters, conditional user properties, the session reporter) arrive
// with those classes.
#pragma once

#include "config/TLMIdentifiers.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"

using QLFAMeasurement = TLMMeasurement;
using QLFAEvent = TLMEvent;
using QLFAIdentifiers = TLMIdentifiers;
using QLFAUserAttribute = TLMUserAttribute;
using QLFAValue = TLMValue;
