// The web process's end of the page channel (PageChannel.h).
#include "PageChannel.h"

#include "WebExtension.h"

namespace wharf::web_extension {

namespace {

WebKitWebExtension* gExtension = nullptr;

// Results delivered together, as the host's script for them does: each
// through the dispatcher the page has at that moment, in order, one that
// throws logged and the others still run; the promise continuations they
// start run only after all of them. What each call of the dispatcher returns
// is, as for the script, a batch of the calls the page made meanwhile (a
// bridge that knows nothing of the channel answers so): it goes to the host
// at once, in order, as a batch the page posted.
constexpr const char* kDispatcher = "(function(post){return function(d){for(var i=0;i<d.length;i++){var c=d[i];"
                                    "try{var b=wharf.require('wharf/exec').nativeCallback(c[0],c[1],c[2],c[3], 0);"
                                    "if(typeof b==='string'&&b)post(b);}"
                                    "catch(e){console.log('exception nativeCallback : '+e);}}};})";

// The main frame's dispatcher, made anew with each of its documents.
constexpr const char* kDispatcherKey = "wharf-page-channel-dispatcher";
// The parts of a results text received so far (a GByteArray).
constexpr const char* kPartsKey = "wharf-page-channel-parts";

// The page is looked up by its id at each call: the function may outlive it.
void post(const char* batch, gpointer pageId) {
    if (!batch || !*batch || !gExtension) return;
    WebKitWebPage* page = webkit_web_extension_get_page(gExtension, GPOINTER_TO_UINT(pageId));
    if (!page) return;
    webkit_web_page_send_message_to_view(
        page, webkit_user_message_new(page_channel::kCommandsMessage, g_variant_new_string(batch)), nullptr, nullptr,
        nullptr);
}

void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    if (!webkit_frame_is_main_frame(frame)) return;
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    JSCValue* function =
        jsc_value_new_function(context, page_channel::kPostFunction, G_CALLBACK(&post),
                               GUINT_TO_POINTER(webkit_web_page_get_id(page)), nullptr, G_TYPE_NONE, 1, G_TYPE_STRING);
    JSCValue* window = jsc_context_get_global_object(context);
    // Neither enumerable nor replaceable: a page's own script cannot put
    // another function in its place.
    jsc_value_object_define_property_data(window, page_channel::kPostFunction, static_cast<JSCValuePropertyFlags>(0),
                                          function);
    // The dispatcher holds the function itself: nothing the page defines
    // under that name stands in for it.
    JSCValue* makeDispatcher = jsc_context_evaluate(context, kDispatcher, -1);
    JSCValue* dispatcher = jsc_value_function_call(makeDispatcher, JSC_TYPE_VALUE, function, G_TYPE_NONE);
    g_object_unref(makeDispatcher);
    g_object_set_data_full(G_OBJECT(page), kDispatcherKey, dispatcher, g_object_unref);
    g_object_set_data(G_OBJECT(page), kPartsKey, nullptr);
    g_object_unref(window);
    g_object_unref(function);
    g_object_unref(context);
}

gboolean onUserMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    const char* name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (g_strcmp0(name, page_channel::kCallbacksPartMessage) == 0) {
        if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE_BYTESTRING)) return TRUE;
        auto* parts = static_cast<GByteArray*>(g_object_get_data(G_OBJECT(page), kPartsKey));
        if (!parts) {
            parts = g_byte_array_new();
            g_object_set_data_full(G_OBJECT(page), kPartsKey, parts,
                                   [](gpointer array) { g_byte_array_unref(static_cast<GByteArray*>(array)); });
        }
        g_byte_array_append(parts, static_cast<const guint8*>(g_variant_get_data(parameters)),
                            static_cast<guint>(g_variant_get_size(parameters)));
        return TRUE;
    }
    if (g_strcmp0(name, page_channel::kCallbacksMessage) != 0) return FALSE;
    auto* dispatcher = static_cast<JSCValue*>(g_object_get_data(G_OBJECT(page), kDispatcherKey));
    if (!dispatcher || !parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING)) return TRUE;
    // The parts before it, and the rest it carries, are the whole text.
    gsize restLength = 0;
    const char* text = g_variant_get_string(parameters, &restLength);
    GByteArray* parts = static_cast<GByteArray*>(g_object_steal_data(G_OBJECT(page), kPartsKey));
    if (parts) {
        g_byte_array_append(parts, reinterpret_cast<const guint8*>(text), static_cast<guint>(restLength + 1));
        text = reinterpret_cast<const char*>(parts->data);
    }
    JSCContext* context = jsc_value_get_context(dispatcher);
    // Read by the engine's own JSON reader: a page that replaced JSON.parse
    // still gets its results.
    JSCValue* results = jsc_value_new_from_json(context, text);
    if (parts) g_byte_array_unref(parts);
    if (!results) {
        g_printerr("Wharf: plug-in results that are not JSON were not delivered\n");
        jsc_context_clear_exception(context);
        return TRUE;
    }
    if (JSCValue* returned = jsc_value_function_call(dispatcher, JSC_TYPE_VALUE, results, G_TYPE_NONE))
        g_object_unref(returned);
    g_object_unref(results);
    return TRUE;
}

void onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
    g_signal_connect(page, "user-message-received", G_CALLBACK(&onUserMessage), nullptr);
}

}  // namespace

void openPageChannels(WebKitWebExtension* extension) {
    gExtension = extension;
    g_signal_connect(extension, "page-created", G_CALLBACK(&onPageCreated), nullptr);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(&onWindowObjectCleared),
                     nullptr);
}

}  // namespace wharf::web_extension
