// Puts the icon store's completion replies into the completion list. Replies arrive later than
// the keystrokes that asked for them and possibly out of turn (a cancelled request answers with
// nothing); only the reply to the text the user typed last may fill the list.
#pragma once

#include "app/service/IconList/IconStore.h"

namespace Vexelworks {

class AutocompleteViewController;
class SearchBarViewController;

// Fills `list` with the reply's completions and reloads it when the reply answers the search
// bar's newest completion request. Returns false, changing nothing, for a stale reply (asked
// for other text, or for text the user has since deleted).
bool applyLoadedCompletions(const IconStoreChanges::LoadedCompletions& reply, const SearchBarViewController& searchBar,
                            AutocompleteViewController& list);

}  // namespace Vexelworks
