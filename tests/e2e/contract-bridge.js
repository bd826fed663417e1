// The page's half of the bridge as a web application could write it knowing
// only what the host relies on: calls wait in a queue and a navigation of a
// hidden frame to "wfbridge:" tells the host; nativeFetchMessages hands the
// queue over as a JSON batch ("" when empty); nativeCallback runs a callback
// and answers with the calls waiting then, nativeEvalAndFetch likewise after
// the host's function. Bytes travel as {"WFType":"ArrayBuffer","data":Base64}.
// It knows nothing of the page channel and asks the host for nothing. The
// end-to-end tests run their pages with it in place of the demo's wharf.js.
(function (global) {
  'use strict';
  var modules = {};
  var callbacks = {};
  var queue = [];
  var nextId = 1;
  var frame = null;
  var signals = 0;

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

  function pack(arg) {
    if (arg instanceof ArrayBuffer) return { WFType: 'ArrayBuffer', data: toBase64(arg) };
    if (ArrayBuffer.isView(arg)) return pack(arg.buffer.slice(arg.byteOffset, arg.byteOffset + arg.byteLength));
    return arg;
  }

  function unpack(message) {
    if (message === null || typeof message !== 'object') return message;
    if (message.WFType === 'ArrayBuffer') return fromBase64(message.data);
    if (message.WFType === 'MultiPart') return message.messages.map(unpack);
    return message;
  }

  function signal() {
    if (!frame) {
      frame = document.createElement('iframe');
      frame.style.display = 'none';
      document.documentElement.appendChild(frame);
    }
    frame.src = 'wfbridge://ready/' + (++signals);
  }

  function exec(success, fail, service, action, args) {
    var id = service + nextId++;
    if (success || fail) callbacks[id] = { success: success, fail: fail };
    queue.push([id, service, action, (args || []).map(pack)]);
    signal();
  }

  exec.nativeFetchMessages = function () {
    if (!queue.length) return '';
    var batch = JSON.stringify(queue);
    queue = [];
    return batch;
  };

  exec.nativeCallback = function (id, status, message, keepCallback) {
    var cb = callbacks[id];
    if (cb) {
      if (!keepCallback) delete callbacks[id];
      try {
        if (status === 1) {
          if (cb.success) cb.success(unpack(message));
        } else if (status !== 0 && cb.fail) {
          cb.fail(unpack(message));
        }
      } catch (e) {
        console.log('Error in callback ' + id + ': ' + e);
      }
    }
    return exec.nativeFetchMessages();
  };

  exec.nativeEvalAndFetch = function (fn) {
    try { fn(); } catch (e) { console.log(e); }
    return exec.nativeFetchMessages();
  };

  modules['wharf/exec'] = exec;

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
  document.addEventListener('DOMContentLoaded', function () { fireDocumentEvent('deviceready'); });
})(window);
