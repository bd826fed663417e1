// The page's half of the Wharf bridge: queues calls to native plug-ins,
// signals the host through a "wfbridge:" navigation in a hidden iframe, and
// receives results through nativeCallback. The host also collects waiting
// calls from what every script it evaluates returns, and asks for them right
// behind each delivery of callbacks.
//
// Two things of the host's that a bridge uses only if it knows them:
// - The page channel. Where the host gives the page's main frame a function
//   of its own, wharfNativePost(batch), calls go to the host through it, as
//   the JSON batch nativeFetchMessages would answer, instead of navigations
//   and fetches. Results may come through the channel to any bridge (the host
//   takes what nativeCallback returns as a batch there too): calling the
//   function is all a bridge does to use the channel, and it asks for nothing.
// - Large byte answers by reference. A bridge asks for it with the call
//   [null, "WharfBridge", "ask", ["arrayBufferURL"]] in a batch (each ask
//   names everything it wants; one with a callback is answered OK); the ask
//   holds for the page's document that made it, and this bridge makes it
//   with its first call. A readAsArrayBuffer answer over 1 MiB is then
//   {"WFType": "ArrayBuffer", "url": <a "wffile" URL>} instead of
//   {"WFType": "ArrayBuffer", "data": <Base64>}: one fetch of the URL gives
//   the bytes. The host holds such answers until fetched or the page goes,
//   in memory while they fit in its bound (512 MiB, less on a machine with
//   less than 8 GiB), else in their files; a fetch that fails (the page went,
//   or the file changed since it was read) is answered to the page as a read
//   that failed, FileError NOT_READABLE_ERR (4).
(function (global) {
  'use strict';
  if (global.wharf) return;

  var modules = {};
  // Callback id → { success, fail }. A Map: ids come and go with every call.
  var callbacks = new Map();
  var nextCallbackId = Math.floor(Math.random() * 1000000000);
  var STATUS_NO_RESULT = 0, STATUS_OK = 1, STATUS_IO_ERROR = 6, STATUS_ERROR = 9;
  var NOT_READABLE_ERR = 4;
  // The first batch asks the host for what this bridge knows (see above).
  var messages = [[null, 'WharfBridge', 'ask', ['arrayBufferURL']]];
  var signalled = false;
  var bridgeFrame = null;
  var signalCount = 0;
  // True while the host is sure to ask for waiting calls: from the delivery of
  // a callback until the host reads its answer, which it does only once the
  // promise continuations the callback started have run. Calls made meanwhile
  // need no navigation. Should the answer never be read, a timer signals.
  var hostWillFetch = false;
  var fetchTimer = 0;
  var fetches = 0, fetchesWhenArmed = 0;
  var FETCH_WAIT_MS = 50;
  // The page channel: the calls made in one turn go as one batch, once the
  // turn's script and the promise continuations before it have run.
  var nativePost = typeof global.wharfNativePost === 'function' ? global.wharfNativePost : null;
  var postQueued = false;

  function postMessages() {
    postQueued = false;
    if (!messages.length) return;
    var batch = JSON.stringify(messages);
    messages = [];
    nativePost(batch);
  }

  function toBase64(buffer) {
    var bytes = new Uint8Array(buffer), text = '';
    for (var i = 0; i < bytes.length; i++) text += String.fromCharCode(bytes[i]);
    return btoa(text);
  }

  function fromBase64(text) {
    var raw = atob(text), bytes = new Uint8Array(raw.length);
    for (var i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes.buffer;
  }

  function packArgument(arg) {
    if (arg === null || typeof arg !== 'object') return arg;
    if (arg instanceof ArrayBuffer) return { WFType: 'ArrayBuffer', data: toBase64(arg) };
    if (ArrayBuffer.isView(arg)) {
      return { WFType: 'ArrayBuffer', data: toBase64(arg.buffer.slice(arg.byteOffset, arg.byteOffset + arg.byteLength)) };
    }
    return arg;
  }

  function unpackMessage(message) {
    if (message === null || typeof message !== 'object') return message;
    if (message.WFType === 'ArrayBuffer') return fromBase64(message.data || '');
    if (message && message.WFType === 'MultiPart') return (message.messages || []).map(unpackMessage);
    return message;
  }

  // A navigation to the wfbridge scheme tells the host that calls wait.
  function signalHost() {
    if (signalled) return;
    signalled = true;
    if (!bridgeFrame) {
      bridgeFrame = document.createElement('iframe');
      bridgeFrame.style.display = 'none';
      (document.body || document.documentElement).appendChild(bridgeFrame);
    }
    bridgeFrame.src = 'wfbridge://ready/' + (++signalCount);
  }

  // One timer serves many calls: it is left running across fetches, and when
  // it fires while the host is still fetching it only waits once more.
  function armFetchTimer() {
    if (fetchTimer) return;
    fetchesWhenArmed = fetches;
    fetchTimer = setTimeout(fetchDidNotCome, FETCH_WAIT_MS);
  }

  function fetchDidNotCome() {
    fetchTimer = 0;
    if (!messages.length) return;
    if (hostWillFetch && fetches !== fetchesWhenArmed) {
      armFetchTimer();
      return;
    }
    hostWillFetch = false;
    signalHost();
  }

  // A copy of the arguments (the page may change its array before the host
  // fetches it), binary ones packed.
  function packArguments(args) {
    var packed = [];
    if (args) for (var i = 0; i < args.length; i++) packed.push(packArgument(args[i]));
    return packed;
  }

  function exec(success, fail, service, action, args) {
    var callbackId = service + nextCallbackId++;
    if (success || fail) callbacks.set(callbackId, { success: success, fail: fail });
    messages.push([callbackId, service, action, packArguments(args)]);
    if (nativePost) {
      if (!postQueued) {
        postQueued = true;
        queueMicrotask(postMessages);
      }
      return;
    }
    if (!hostWillFetch) signalHost();
    else armFetchTimer();
  }

  // Called by the host: the waiting calls as a JSON batch, "" when none wait.
  exec.nativeFetchMessages = function () {
    signalled = false;
    hostWillFetch = false;
    fetches++;
    if (!messages.length) return '';
    var batch = JSON.stringify(messages);
    messages = [];
    return batch;
  };

  // The answer to a callback that made no call itself: read only once the
  // script has ended and the promise continuations it started have run, it
  // carries the calls made in those continuations (an awaited call's next
  // call). The host reads it as text: a JSON batch, "" when no call waits.
  // The first read fetches; a later one (the page's own code may hold the
  // answer) gets the same text and takes nothing away from the host.
  var reply = [], replyText;
  Object.defineProperty(reply, 0, {
    enumerable: true,
    get: function () {
      if (replyText === undefined) replyText = exec.nativeFetchMessages();
      return replyText;
    }
  });

  // A large byte answer comes by reference: the host holds the bytes for one
  // fetch of its "url". The answers after it wait until it is in, so that
  // every answer still reaches its callback in the order the host sent them.
  var held = null, heldCount = 0;

  function deliver(callbackId, status, value, keepCallback) {
    var cb = callbacks.get(callbackId);
    if (!cb) return;
    try {
      if (status === STATUS_OK || status === STATUS_NO_RESULT) {
        if (status === STATUS_OK && cb.success) cb.success(value);
      } else if (cb.fail) {
        cb.fail(value);
      }
    } catch (e) {
      console.log('Error in callback ' + callbackId + ': ' + e);
    } finally {
      if (!keepCallback) callbacks.delete(callbackId);
    }
  }

  function fetchedBytes(message) {
    return fetch(message.url).then(function (response) {
      if (!response.ok) throw new Error('the answer\'s bytes are gone (' + response.status + ')');
      return response.arrayBuffer();
    });
  }

  // Called by the host with a plug-in's answer.
  exec.nativeCallback = function (callbackId, status, message, keepCallback) {
    hostWillFetch = true;
    var byReference = message !== null && typeof message === 'object' && message.WFType === 'ArrayBuffer' &&
      typeof message.url === 'string';
    if (byReference || held) {
      var value = byReference ? fetchedBytes(message) : Promise.resolve(unpackMessage(message));
      heldCount++;
      held = (held || Promise.resolve()).then(function () { return value; }).then(function (v) {
        deliver(callbackId, status, v, keepCallback);
      }, function (e) {
        // Bytes the host no longer holds: the read as the page sees it failed.
        console.log('wharf: ' + e);
        deliver(callbackId, byReference ? STATUS_IO_ERROR : STATUS_ERROR, byReference ? NOT_READABLE_ERR : String(e),
                keepCallback);
      }).then(function () {
        if (--heldCount === 0) held = null;
      });
    } else {
      deliver(callbackId, status, unpackMessage(message), keepCallback);
    }
    // Through the page channel the calls made meanwhile go by themselves.
    if (nativePost) return '';
    // Calls made in the callback go back at once as text, which costs the host
    // less than the deferred answer; calls from its continuations then signal.
    if (messages.length) return exec.nativeFetchMessages();
    hostWillFetch = true;
    replyText = undefined;
    return reply;
  };

  // Calls made by a script of the host go back with its answer.
  exec.nativeEvalAndFetch = function (fn) {
    hostWillFetch = true;
    try { fn(); } catch (e) { console.log(e); }
    return exec.nativeFetchMessages();
  };

  modules['wharf/exec'] = exec;

  // deviceready is sticky: a listener added after it fired runs at once.
  var deviceReady = false;
  var addListener = document.addEventListener;
  document.addEventListener = function (type, listener, options) {
    if (type === 'deviceready' && deviceReady) {
      setTimeout(function () { listener.call(document, new Event('deviceready')); }, 0);
      return;
    }
    return addListener.call(document, type, listener, options);
  };

  function fireDocumentEvent(type, data) {
    var event = new Event(type);
    if (data) for (var k in data) event[k] = data[k];
    document.dispatchEvent(event);
  }

  global.wharf = {
    require: function (name) { return modules[name]; },
    exec: exec,
    fireDocumentEvent: fireDocumentEvent
  };

  function ready() {
    deviceReady = true;
    fireDocumentEvent('deviceready');
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', ready);
  else setTimeout(ready, 0);
})(window);
