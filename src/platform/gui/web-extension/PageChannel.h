#pragma once
// The channel between the host and the page's half of the bridge, through the
// web-process extension: plug-in results reach the page's dispatcher and the
// page's calls reach the host as messages of WebKit's own, with no script to
// compile for each result and no evaluation result to carry back. Only the
// main frame has it, as only the main frame's bridge is ever fetched from.
namespace wharf::page_channel {

// Host to page: plug-in results, a JSON array of [callbackId, status, message,
// keepCallback] entries, each handed to the page's nativeCallback in order.
inline constexpr const char* kCallbacksMessage = "wharf.callbacks";
// Host to page: a part of the text of the next results message ("ay"), which
// then carries the rest. A large text goes in parts: WebKit copies each
// message whole on its way (twice), and the text copied whole would be held
// three times over.
inline constexpr const char* kCallbacksPartMessage = "wharf.callbacks.part";
// Page to host: a batch of calls, the JSON text nativeFetchMessages answers
// (or nativeCallback returns).
inline constexpr const char* kCommandsMessage = "wharf.commands";
// The function on the main frame's window that sends the host a batch.
inline constexpr const char* kPostFunction = "wharfNativePost";

}  // namespace wharf::page_channel
