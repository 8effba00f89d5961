(function () {
  'use strict';
  var body = document.body;
  var tileCount = Number(body.getAttribute('data-tile-count'));
  var select = document.getElementById('tile-select');
  var map = document.getElementById('memory-map');
  var bars = Array.prototype.slice.call(document.querySelectorAll('.peak-chart .bar'));

  function requestedTile() {
    var match = /(?:^#|&)tile=(\d+)/.exec(location.hash) || /(?:^\?|&)tile=(\d+)/.exec(location.search);
    return match ? Number(match[1]) : null;
  }

  function showTile(tile) {
    var template = document.getElementById('map-tile-' + tile);
    while (map.firstChild) {
      map.removeChild(map.firstChild);
    }
    if (template) {
      map.appendChild(template.content.cloneNode(true));
    } else {
      var message = document.createElement('p');
      message.className = 'empty';
      message.textContent = tile < tileCount ? 'Tile ' + tile + ' holds no data.'
                                             : 'There is no tile ' + tile + ': the tiles are 0 to ' + (tileCount - 1) + '.';
      map.appendChild(message);
    }
    map.setAttribute('data-tile', String(tile));
    select.value = template ? String(tile) : '';
    bars.forEach(function (bar) {
      var first = Number(bar.getAttribute('data-first'));
      var last = Number(bar.getAttribute('data-last'));
      bar.classList.toggle('selected', first <= tile && tile <= last);
    });
  }

  function chooseTile(tile) {
    showTile(tile);
    try {
      history.replaceState(null, '', '#tile=' + tile);
    } catch (error) {
      /* Some viewers refuse to change the address of a local file; the map is shown all the same. */
    }
  }

  select.addEventListener('change', function () {
    chooseTile(Number(select.value));
  });
  bars.forEach(function (bar) {
    bar.addEventListener('click', function (event) {
      var first = Number(bar.getAttribute('data-first'));
      var last = Number(bar.getAttribute('data-last'));
      var box = bar.getBoundingClientRect();
      var share = box.width > 0 ? (event.clientX - box.left) / box.width : 0;
      chooseTile(Math.min(last, first + Math.floor(share * (last - first + 1))));
    });
  });
  window.addEventListener('hashchange', function () {
    var tile = requestedTile();
    if (tile !== null) {
      showTile(tile);
    }
  });
  var requested = requestedTile();
  showTile(requested === null ? Number(body.getAttribute('data-default-tile')) : requested);

  var search = document.getElementById('phase-search');
  var count = document.getElementById('phase-count');
  var phases = Array.prototype.slice.call(document.querySelectorAll('#phase-list .phase'));
  function filterPhases() {
    var query = search.value.trim().toLowerCase();
    var shown = 0;
    phases.forEach(function (phase) {
      var headMatches = query === '' || phase.querySelector('summary').textContent.toLowerCase().indexOf(query) >= 0;
      var rowMatches = 0;
      Array.prototype.forEach.call(phase.querySelectorAll('tbody tr'), function (row) {
        var matches = headMatches || row.textContent.toLowerCase().indexOf(query) >= 0;
        row.hidden = !matches;
        rowMatches += matches ? 1 : 0;
      });
      phase.hidden = !(headMatches || rowMatches > 0);
      if (query !== '' && !headMatches && rowMatches > 0) {
        phase.open = true;
      }
      shown += phase.hidden ? 0 : 1;
    });
    count.textContent = shown + ' of ' + phases.length + ' phases';
  }
  search.addEventListener('input', filterPhases);
  var preset = /(?:^#|&)search=([^&]*)/.exec(location.hash);
  if (preset) {
    search.value = decodeURIComponent(preset[1].replace(/\+/g, ' '));
  }
  filterPhases();
})();
