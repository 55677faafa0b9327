// Arbitrary bytes written as HTML text that shows them and can carry no markup:
// the five special characters become entities, and what a reader could not see
// or that would upset the page (control characters, bytes that are not UTF-8,
// direction overrides, invisible marks) becomes a visible escape such as \n,
// \xFF or \u202E.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/field_view.h"
#include "json/json_writer.h"

namespace quelta {

struct HtmlTextOptions {
  // Code points shown before the text is cut and "…" appended; 0: no limit.
  size_t max_chars = 0;
  // Escapes wrapped in <span class="esc"> so a page can set them apart; off for
  // attribute values and <option> or SVG texts, which take no markup.
  bool mark_escapes = false;
};

// Writes text as HTML character data, safe inside an element or a quoted
// attribute value. *cut (when given) tells whether the text was shortened.
[[nodiscard]] Error write_html_text(OutputSink& sink, FieldView text, const HtmlTextOptions& options,
                                    bool* cut = nullptr);

}  // namespace quelta
