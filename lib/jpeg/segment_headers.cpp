#include "jpeg/segment_headers.h"

#include "core/exception.h"
#include "jpeg/messages.h"

namespace tessel {

void defineQuantizationTable(QuantizationTables& defined, const QuantizationTable& table,
                             Redefinition redefinition) {
  if (table.index() >= 4) fail(msg::kInvalidQuantIndex);
  if (defined[table.index()] && redefinition == Redefinition::kRefused) {
    fail(msg::kDuplicateQuantIndex);
  }
  defined[table.index()] = table;
}

}  // namespace tessel
