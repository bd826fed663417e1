// The geolocation end-to-end test lays this over a copy of the demo bundle:
// once the location card lists a few stored locations, it reports what the
// card shows and what the plug-in answers, then ends the host.
(function () {
  var deadline = Date.now() + 30000;
  var done = false;
  function cells(row) {
    return Array.prototype.map.call(row.querySelectorAll('td'), function (td) { return td.textContent; });
  }
  function report(status, extra) {
    if (done) return;
    done = true;
    var exec = wharf.require('wharf/exec');
    var r = extra || {};
    r.tracking = document.getElementById('tracking').textContent;
    r.received = Number(document.getElementById('received').textContent);
    r.storedCount = document.getElementById('stored-count').textContent;
    r.rows = Array.prototype.map.call(document.querySelectorAll('#stored tbody tr'), cells);
    exec(function () { exec(null, null, 'E2EEcho', 'finish', [status]); }, null, 'E2EEcho', 'record',
         [JSON.stringify(r)]);
  }
  function poll() {
    if (done) return;
    if (Date.now() > deadline) return report(1);
    if (Number(document.getElementById('received').textContent) >= 4 &&
        document.querySelectorAll('#stored tbody tr').length >= 3) {
      var exec = wharf.require('wharf/exec');
      exec(function (stored) {
        exec(function (log) {
          report(0, { stored: stored, log: log });
        }, function () { report(1); }, 'BackgroundGeolocation', 'getLogEntries', [50]);
      }, function () { report(1); }, 'BackgroundGeolocation', 'getLocations', []);
      return;
    }
    setTimeout(poll, 200);
  }
  document.addEventListener('deviceready', function () { setTimeout(poll, 200); });
})();
