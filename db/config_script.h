// The configuration script (Config): the XML text form of a complete configuration, used for
// backup downloads, for configurations fetched from a provisioning server and for the default
// configuration.
//
//   <?xml version="1.0" standalone="yes"?> CR LF <Config>
//   <SetSetting name="NAME">VALUE</SetSetting>...           every named setting, in order
//   <DeleteTable table="T"/><SetEntry table="T" row="ID"><Column name="C">V</Column>...
//   </SetEntry>...                                           the exported tables, in order
//   </Config>
//
// Side: ctrl (changes tables under ctrl_run_mutex). Applying never fails as a whole: unknown
// elements, tables and settings are skipped and everything valid is applied, also from a
// document that breaks off.
#pragma once

#include "base/str.h"

// How SetSetting stores a value: ctrl_write_registry(setting, value, true) unless replaced
// (fuzzing replaces it with a writer without side effects, since a setting such as the syslog
// destination would otherwise reach the network).
using config_setting_writer = void (*)(int setting, const str& value);
void set_config_setting_writer(config_setting_writer writer);

// The whole configuration as a script.
str serialize_config();
// Applies the elements of a script body (the children of Config, or a bare sequence of them):
// DeleteTable, SetSetting, DeleteDirectory and SetEntry, names compared without namespace
// prefix and without regard to case.
void process_config(const str& text);
// The web client's callback for a configuration fetched from a server: for a status 200..299
// every top-level Config element's body is applied; otherwise "Loading Configuration: Server
// returned %d" is logged.
void on_config_available(int status, const str& body);
// Applies the default configuration file named on the command line (relative to the working
// directory, or else in the built-in web files below web_dir): XML content as a script,
// anything else as a tar image, of any size (max_tar guards uploads only); then writes the
// settings file. A refused archive changes nothing and writes nothing; it is logged at level 0.
enum class restore_result {
  nothing,  // no file name, or no such file
  script,   // a configuration script was applied
  tar,      // a tar image replaced the working directory: the caller reloads the tables
  refused,  // the file is there but is no usable archive
};
restore_result restore_default_config(const str& file, const str& web_dir = str());
