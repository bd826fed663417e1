// The page's file API over the "File" plug-in: filesystems, entries, a writer
// and readers, each call answering a Promise. A failure rejects with the
// plug-in's answer (a FileError code for most calls).
(function (global) {
  'use strict';
  var exec = global.wharf.require('wharf/exec');

  function call(action, args) {
    return new Promise(function (resolve, reject) { exec(resolve, reject, 'File', action, args || []); });
  }

  function encodePath(path) {
    return path.split('/').map(encodeURIComponent).join('/');
  }

  function Entry(fields) {
    for (var key in fields) this[key] = fields[key];
  }
  // A photo-library entry's path carries its query: its own URL names it.
  Entry.prototype.toURL = function () {
    if (this.filesystemName === 'assets-library') return this.nativeURL;
    return 'wffile://localhost/' + this.filesystemName + encodePath(this.fullPath);
  };
  Entry.prototype.getMetadata = function () { return call('getFileMetadata', [this.toURL()]); };
  Entry.prototype.setMetadata = function (metadata) { return call('setMetadata', [this.toURL(), metadata]); };
  Entry.prototype.getParent = function () { return call('getParent', [this.toURL()]).then(entry); };
  Entry.prototype.remove = function () { return call('remove', [this.toURL()]); };
  Entry.prototype.removeRecursively = function () { return call('removeRecursively', [this.toURL()]); };
  Entry.prototype.copyTo = function (parent, newName) {
    return call('copyTo', [this.toURL(), parent.toURL(), newName]).then(entry);
  };
  Entry.prototype.moveTo = function (parent, newName) {
    return call('moveTo', [this.toURL(), parent.toURL(), newName]).then(entry);
  };
  // Directories.
  Entry.prototype.getFile = function (path, options) {
    return call('getFile', [this.toURL(), path, options || {}]).then(entry);
  };
  Entry.prototype.getDirectory = function (path, options) {
    return call('getDirectory', [this.toURL(), path, options || {}]).then(entry);
  };
  Entry.prototype.readEntries = function () {
    return call('readEntries', [this.toURL()]).then(function (list) { return list.map(entry); });
  };
  // Files.
  Entry.prototype.createWriter = function () { return new FileWriter(this); };

  function entry(fields) { return new Entry(fields); }

  // Writes at a position that moves on with every write.
  function FileWriter(fileEntry) {
    this.url = fileEntry.toURL();
    this.position = 0;
  }
  FileWriter.prototype.seek = function (position) { this.position = position; };
  FileWriter.prototype.write = function (data) {
    var self = this;
    return call('write', [this.url, data, this.position]).then(function (written) {
      self.position += written;
      return written;
    });
  };
  FileWriter.prototype.truncate = function (size) { return call('truncate', [this.url, size]); };

  // Readers take an entry or a URL; end -1 reads to the end of the file.
  function urlOf(target) { return typeof target === 'string' ? target : target.toURL(); }
  function range(start, end) { return [start || 0, end === undefined ? -1 : end]; }

  global.wharfFile = {
    TEMPORARY: 0,
    PERSISTENT: 1,
    requestFileSystem: function (type, size) {
      return call('requestFileSystem', [type, size || 0]).then(function (fs) {
        return { name: fs.name, root: entry(fs.root) };
      });
    },
    requestAllFileSystems: function () {
      return call('requestAllFileSystems', []).then(function (roots) { return roots.map(entry); });
    },
    resolveLocalFileSystemURL: function (url) { return call('resolveLocalFileSystemURI', [url]).then(entry); },
    readAsText: function (target, start, end) {
      return call('readAsText', [urlOf(target), 'UTF-8'].concat(range(start, end)));
    },
    readAsDataURL: function (target, start, end) {
      return call('readAsDataURL', [urlOf(target)].concat(range(start, end)));
    },
    readAsArrayBuffer: function (target, start, end) {
      return call('readAsArrayBuffer', [urlOf(target)].concat(range(start, end)));
    },
    readAsBinaryString: function (target, start, end) {
      return call('readAsBinaryString', [urlOf(target)].concat(range(start, end)));
    }
  };
})(window);
