#include "pbx/call_app.h"

#include <map>
#include <string>

#include "db/schema.h"

namespace {

// The classes by the type they serve. Filled at start-up (or by a test) and read on the control
// queue's thread afterwards, so it needs no lock of its own.
std::map<std::string, call_app_class>& classes() {
  static std::map<std::string, call_app_class> by_type;
  return by_type;
}

const call_app_class* class_of(const str& type) {
  auto it = classes().find(std::string(type.view()));
  return it == classes().end() ? nullptr : &it->second;
}

}  // namespace

void register_call_app(const call_app_class& c) {
  if (c.type && c.make) classes()[c.type] = c;
}

void clear_call_apps() { classes().clear(); }

std::unique_ptr<call_app> make_call_app(int cobj, call_event ev) {
  if (!cobjs.has_row(cobj)) return nullptr;
  const call_app_class* c = class_of(cobjs.get(cobj, cobj_ivr_type));
  if (!c || !(c->events & ev)) return nullptr;
  return c->make(cobj);
}

std::unique_ptr<call_app> make_call_app(const str& type, int cobj) {
  const call_app_class* c = class_of(type);
  return c ? c->make(cobj) : nullptr;
}
