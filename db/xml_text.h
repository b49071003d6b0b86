// XML text helpers of the data store: the escaping used by every XML file the store writes, and
// tolerant readers for row files and table descriptions.
//
// Side-neutral. The readers never fail: malformed input yields whatever could be parsed.
#pragma once

#include <functional>

#include "base/str.h"

// Appends v with ', ", &, < and > replaced by &apos;, &quot;, &amp;, &lt; and &gt;.
void append_xml_escaped(str& out, const str& v);
str xml_escape(const str& v);
// An attribute value as written between double quotes: escaped only when it holds a '"'.
str xml_attribute_value(const str& v);

// Calls fn(name, value) for every child element of a root element named "row" (values
// unescaped; elements with an empty name never occur). Nothing when the root is not "row".
void for_each_row_element(const str& content,
                          const std::function<void(const str& name, const str& value)>& fn);

// Calls fn(column, indexed) for every <row> child with non-empty text of a root <table>.
void read_table_description(const str& content,
                            const std::function<void(const str& column, bool indexed)>& fn);
