// The line page: polls /api/line every second and updates the cards, the
// chart and the tables in place (so that nothing the reader looks at jumps);
// the serial search asks /api/serial. Every text from the database goes in
// through textContent or an attribute, never as markup.
'use strict';
(function () {
  const POLL_MS = 1000;
  const REQUEST_LIMIT_MS = 8000;
  const SVG = 'http://www.w3.org/2000/svg';

  const $ = (id) => document.getElementById(id);
  const stationsBox = $('stations');

  function make(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function setText(e, text) {
    const t = text === null || text === undefined ? '' : String(text);
    if (e.textContent !== t) e.textContent = t;
  }
  function pad(n) { return String(n).padStart(2, '0'); }
  function hhmm(iso) {
    const d = new Date(iso);
    return pad(d.getHours()) + ':' + pad(d.getMinutes());
  }
  function localTime(iso) {
    const d = new Date(iso);
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' + hhmm(iso) + ':' +
      pad(d.getSeconds());
  }
  function yieldText(p) { return p === null || p === undefined ? '–' : p.toFixed(1) + ' %'; }
  function shortSha(sha) { return sha ? sha.slice(0, 12) : '–'; }

  // Children of `box` keyed by an attribute, in the order of `items`: kept
  // when their key is still there, made by `create` when new, removed when
  // gone. Calls `update(node, item)` on each.
  function reconcile(box, items, attribute, keyOf, create, update) {
    const existing = new Map();
    for (const child of Array.from(box.children)) existing.set(child.getAttribute(attribute), child);
    items.forEach((item, i) => {
      const key = keyOf(item);
      let node = existing.get(key);
      if (node) {
        existing.delete(key);
      } else {
        node = create(item);
        node.setAttribute(attribute, key);
      }
      if (box.children[i] !== node) box.insertBefore(node, box.children[i] || null);
      update(node, item);
    });
    for (const gone of existing.values()) gone.remove();
  }

  // A list whose items are only texts: rebuilt when they change.
  function setList(list, texts, build) {
    const key = JSON.stringify(texts);
    if (list.dataset.key === key) return;
    list.dataset.key = key;
    list.replaceChildren(...texts.map(build));
  }

  function createStation() {
    const card = make('article', 'station');
    const head = make('header');
    head.append(make('h2', 'station-name'), make('span', 'station-state'));
    const totals = make('dl', 'totals');
    for (const [name, label] of [['units', 'Units'], ['ok', 'OK'], ['failed', 'Failed'], ['yield', 'Yield']]) {
      const value = make('dd');
      value.dataset.total = name;
      totals.append(make('dt', '', label), value);
    }
    card.append(head, make('div', 'station-meta'), make('ul', 'flags'), make('div', 'slots'), totals,
      make('ul', 'failures'));
    return card;
  }

  function createSlot() {
    const slot = make('div', 'slot');
    for (const part of ['port', 'unit', 'serial', 'repeat', 'state', 'percent', 'result']) {
      slot.append(make('div', part));
    }
    return slot;
  }

  function updateSlot(node, s) {
    const part = (name) => node.querySelector('.' + name);
    setText(part('port'), s.port);
    setText(part('unit'), s.unit === null ? '' : 'unit ' + s.unit);
    setText(part('serial'), s.serial);
    // The board had "Upgrade OK" with this image before.
    setText(part('repeat'), s.repeat ? 'flashed OK before' : '');
    setText(part('state'), s.state);
    setText(part('percent'), s.percent === null ? '' : s.percent + ' %');
    const result = part('result');
    result.classList.toggle('ok', s.result === 'ok');
    result.classList.toggle('failed', s.result === 'failed');
    setText(result, s.result === 'ok' ? 'OK' : s.result === 'failed' ? (s.result_text || 'failed') : '');
  }

  function updateStation(card, st) {
    card.classList.toggle('offline', !st.online);
    setText(card.querySelector('.station-name'), st.station);
    setText(card.querySelector('.station-state'),
      st.online ? 'online' : 'offline since ' + hhmm(st.offline_since_utc));
    setText(card.querySelector('.station-meta'), st.host + ' · ' + st.firmware + ' · type ' + st.type_code + ' · ' +
      st.pacing);
    setList(card.querySelector('.flags'), st.flags, (f) => make('li', '', f));
    reconcile(card.querySelector('.slots'), st.slots, 'data-port', (s) => s.port, createSlot, updateSlot);
    const t = st.totals;
    setText(card.querySelector('[data-total="units"]'), t.units);
    setText(card.querySelector('[data-total="ok"]'), t.ok);
    setText(card.querySelector('[data-total="failed"]'), t.failed);
    setText(card.querySelector('[data-total="yield"]'), yieldText(t.yield_percent));
    setList(card.querySelector('.failures'), t.failures.map((f) => [f.reason, f.count]),
      ([reason, count]) => make('li', '', reason + ': ' + count));
  }

  function svg(tag, attributes, text) {
    const e = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, String(v));
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // Stacked bars, OK below and failed above, one per hour of the shift, the
  // hour's yield over each.
  function drawChart(hours) {
    const box = $('yield-chart');
    const key = JSON.stringify(hours);
    if (box.dataset.key === key && box.firstChild) return;
    box.dataset.key = key;
    const width = 640, height = 180, left = 30, bottom = 20, top = 16;
    const plot = height - bottom - top;
    const most = Math.max(1, ...hours.map((h) => h.units));
    const step = (width - left) / Math.max(1, hours.length);
    const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, role: 'img', 'aria-label': 'Yield per hour' });
    chart.append(svg('line', { class: 'axis', x1: left, y1: top + plot, x2: width, y2: top + plot }));
    chart.append(svg('text', { x: 0, y: top + 4 }, String(most)));
    hours.forEach((h, i) => {
      const x = left + i * step + step * 0.15, w = step * 0.7;
      const okHeight = plot * h.ok / most, failedHeight = plot * h.failed / most;
      const group = svg('g', {});
      group.append(svg('title', {}, `${hhmm(h.hour_utc)}: ${h.units} units, ${h.ok} OK, ${h.failed} failed`));
      group.append(svg('rect', { class: 'bar-ok', x, y: top + plot - okHeight, width: w, height: okHeight }));
      group.append(svg('rect', { class: 'bar-failed', x, y: top + plot - okHeight - failedHeight, width: w,
        height: failedHeight }));
      if (h.units > 0) {
        group.append(svg('text', { x: x + w / 2, y: top + plot - okHeight - failedHeight - 3, 'text-anchor': 'middle' },
          yieldText(h.yield_percent)));
      }
      group.append(svg('text', { x: x + w / 2, y: height - 5, 'text-anchor': 'middle' }, hhmm(h.hour_utc)));
      chart.append(group);
    });
    box.replaceChildren(chart);
  }

  function updateFirmware(stations) {
    reconcile($('firmware').tBodies[0], stations, 'data-station', (s) => s.station, () => {
      const row = make('tr');
      for (const c of ['station', 'type', 'image', 'sha', 'approved sha', 'flags']) row.append(make('td', c));
      return row;
    }, (row, s) => {
      row.classList.toggle('flagged', s.flags.length > 0);
      const cells = row.cells;
      setText(cells[0], s.station);
      setText(cells[1], s.type_code);
      setText(cells[2], s.firmware);
      setText(cells[3], shortSha(s.firmware_sha256));
      cells[3].title = s.firmware_sha256 || '';
      setText(cells[4], shortSha(s.approved_sha256));
      cells[4].title = s.approved_sha256 || '';
      setText(cells[5], s.flags.join('; '));
    });
  }

  function render(line) {
    reconcile(stationsBox, line.stations, 'data-station', (s) => s.station, createStation, updateStation);
    $('no-stations').hidden = line.stations.length > 0;
    setText($('shift'), `(last ${line.shift_hours} h)`);
    drawChart(line.yield_by_hour);
    setList($('top-failures'), line.top_failures.map((f) => [f.reason, f.count]), ([reason, count]) => {
      const li = make('li');
      li.append(make('span', 'reason', reason), ': ', make('span', 'count', String(count)));
      return li;
    });
    $('no-failures').hidden = line.top_failures.length > 0;
    updateFirmware(line.stations);
  }

  async function getJson(url) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), REQUEST_LIMIT_MS);
    try {
      const response = await fetch(url, { cache: 'no-store', signal: abort.signal });
      let body = null;
      try { body = await response.json(); } catch (e) { body = null; }
      return { status: response.status, body };
    } finally {
      clearTimeout(timer);
    }
  }

  function setConnection(ok, text) {
    const c = $('connection');
    c.classList.toggle('live', ok);
    c.classList.toggle('away', !ok);
    setText(c, text);
    document.body.classList.toggle('stale', !ok);
  }

  async function poll() {
    try {
      const { status, body } = await getJson('/api/line');
      if (status === 200 && body) {
        render(body);
        setConnection(true, 'live');
        setText($('updated'), 'updated ' + localTime(body.now_utc));
      } else {
        setConnection(false, (body && body.error) ? body.error : 'the server answered ' + status);
      }
    } catch (e) {
      setConnection(false, 'the page server does not answer');
    }
    setTimeout(poll, POLL_MS);
  }

  async function search(event) {
    event.preventDefault();
    const number = $('serial-search').value.trim();
    const table = $('history'), empty = $('history-empty'), note = $('history-status');
    if (!number) return;
    setText(note, 'searching…');
    try {
      const { status, body } = await getJson('/api/serial?number=' + encodeURIComponent(number));
      if (status !== 200 || !body) {
        setText(note, (body && body.error) ? body.error : 'the server answered ' + status);
        table.hidden = true;
        empty.hidden = true;
        return;
      }
      setText(note, body.attempts.length + (body.attempts.length === 1 ? ' attempt for ' : ' attempts for ') +
        body.serial);
      table.tBodies[0].replaceChildren(...body.attempts.map((a) => {
        const row = make('tr');
        const ok = a.result === 'Upgrade OK';
        row.append(make('td', 'attempt', String(a.attempt)), make('td', 'time', localTime(a.started_utc)),
          make('td', 'station', a.station), make('td', 'port', a.port), make('td', 'firmware', a.firmware),
          make('td', 'result ' + (ok ? 'ok' : 'failed'), a.result));
        return row;
      }));
      table.hidden = body.attempts.length === 0;
      empty.hidden = body.attempts.length > 0;
    } catch (e) {
      setText(note, 'the page server does not answer');
    }
  }

  $('serial-form').addEventListener('submit', search);
  poll();
})();
