#include "app/shell/SearchCompletions.h"

#include "app/shell/AutocompleteViewController.h"
#include "app/shell/SearchBarViewController.h"

namespace Vexelworks {

bool applyLoadedCompletions(const IconStoreChanges::LoadedCompletions& reply, const SearchBarViewController& searchBar,
                            AutocompleteViewController& list) {
  const std::string& current = searchBar.lastCompletionQuery();
  if (current.empty() || reply.query != current) return false;
  list.completions = reply.completions;
  list.reloadData();
  return true;
}

}  // namespace Vexelworks
