// The monitor's page: the bus and its meters (/), one meter (/meter/ID).
// Everything from the bus is put in as text (textContent), never as markup.
'use strict';
(function () {
  const page = document.body.dataset.page;
  const meterId = page === 'meter' ? decodeURIComponent(location.pathname.split('/')[2]) : null;
  const meters = new Map();  // id -> {meter: the last state, at: Date.now() when it came}
  let streamOpen = false;

  function element(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = text;
    if (className) e.className = className;
    return e;
  }

  function setText(id, text) {
    document.getElementById(id).textContent = text;
  }

  function duration(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    if (s < 60) return s + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
    return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
  }

  // Seconds since the meter's last good poll, now: the age the monitor sent
  // plus the time since it came, so that the two clocks need not agree.
  function age(entry) {
    return entry.meter.age + (Date.now() - entry.at) / 1000;
  }

  // live: the last poll read the meter and the stream is up; else its values
  // are stale and say so.
  function condition(entry) {
    const m = entry.meter;
    if (m.last_poll_ok === null) return 'waiting';
    if (!m.online) return 'offline';
    if (!m.last_poll_ok || !streamOpen) return 'stale';
    return 'live';
  }

  function availabilityText(entry) {
    const m = entry.meter;
    switch (condition(entry)) {
      case 'waiting': return 'waiting for its first poll';
      case 'offline': return 'offline';
      case 'stale': return m.last_poll_ok ? 'online (no news: the connection to the monitor is lost)'
                                          : 'online (last poll failed: ' + m.failure + ')';
      default: return 'online';
    }
  }

  function ageText(entry) {
    if (entry.meter.age === undefined) return 'never';
    const text = duration(age(entry)) + ' ago';
    return condition(entry) === 'live' ? text : 'stale: read ' + text;
  }

  function showConnection(open) {
    streamOpen = open;
    const c = document.getElementById('connection');
    c.textContent = open ? 'live' : 'connection to the monitor lost; retrying';
    c.className = open ? 'connection' : 'connection lost';
    refreshAll();
  }

  // --- the bus page ---
  const busFields = [['Port', 'port'], ['Baud', 'baud'], ['Framing', 'framing'], ['Interval', 'interval', ' s'],
    ['Rounds', 'rounds'], ['Overruns', 'overruns'], ['Last round', 'round_seconds', ' s']];

  // "mbtcp://127.0.0.1:1502, 2 clients; answered 40, no answer 1; wait for
  // the line at most 12.0 ms, 4.1 ms on average; from the last round 30 of
  // 38 reads; 2 connections refused"
  function gatewayText(g) {
    const counts = Object.entries(g.requests).filter(([, n]) => n > 0)
      .map(([what, n]) => what.replace('_', ' ') + ' ' + n);
    const ms = (seconds) => (seconds * 1000).toFixed(1) + ' ms';
    return 'mbtcp://' + g.address + (g.writes ? ' (writes on)' : '') + ', ' + g.clients + ' client' +
      (g.clients === 1 ? '' : 's') + '; ' + (counts.length ? counts.join(', ') : 'no requests yet') +
      '; wait for the line at most ' + ms(g.longest_wait) + ', ' + ms(g.mean_wait) + ' on average' +
      '; from the last round ' + g.cache_hits + ' of ' + (g.cache_hits + g.cache_misses) + ' reads' +
      (g.refused_clients ? '; ' + g.refused_clients + ' connection' + (g.refused_clients === 1 ? '' : 's') +
        ' refused' : '');
  }

  function showBus(bus) {
    if (page !== 'bus') return;
    const list = document.getElementById('bus');
    list.replaceChildren();
    for (const [label, key, unit] of busFields) {
      const value = key === 'round_seconds' ? bus[key].toFixed(3) : String(bus[key]);
      list.append(element('dt', label), element('dd', value + (unit || '')));
    }
    if (bus.gateway) list.append(element('dt', 'Gateway'), element('dd', gatewayText(bus.gateway)));
    if (bus.gateway && bus.gateway.writes_said.length)
      list.append(element('dt', 'Writes through it'), element('dd', bus.gateway.writes_said.join('\n'), 'writes'));
    const foreign = document.getElementById('foreign');
    foreign.hidden = bus.foreign.length === 0;
    foreign.querySelector('ul').replaceChildren(...bus.foreign.map((d) =>
      element('li', String(d.address).padStart(2, '0') + ' - ' + d.identification)));
    const body = document.querySelector('#transactions tbody');
    body.replaceChildren();
    for (const [result, count] of Object.entries(bus.transactions)) {
      if (count === 0 && result !== 'Ok') continue;
      const row = element('tr');
      row.append(element('td', result), element('td', String(count), 'value'));
      body.append(row);
    }
  }

  const busColumns = ['KWH', 'KW', 'PF', 'VLN', 'AMPS-AVG'];

  function meterRow(id) {
    let row = document.getElementById('meter-' + id);
    if (row) return row;
    row = element('tr');
    row.id = 'meter-' + id;
    row.dataset.meter = id;
    const link = element('a', id);
    link.href = '/meter/' + encodeURIComponent(id);
    const first = element('td');
    first.append(link);
    row.append(first);
    for (let i = 0; i < 4 + busColumns.length; ++i) row.append(element('td'));
    row.addEventListener('click', () => { location.href = link.href; });
    const body = document.querySelector('#meters tbody');
    const after = Array.from(body.children).find((r) => r.dataset.meter > id);
    body.insertBefore(row, after || null);
    document.getElementById('none').hidden = true;
    return row;
  }

  function showRow(entry) {
    const m = entry.meter;
    const row = meterRow(m.meter);
    const cells = row.children;
    const state = condition(entry);
    row.className = state === 'live' || state === 'waiting' ? '' : 'stale';
    cells[1].textContent = m.model;
    cells[2].textContent = m.identification;
    cells[3].textContent = state === 'offline' ? 'offline' : (m.online ? 'online' : '');
    cells[3].className = state === 'offline' ? 'offline' : (state === 'stale' ? 'failing' : 'online');
    cells[4].textContent = ageText(entry);
    busColumns.forEach((key, i) => {
      cells[5 + i].textContent = m.display[key] || '';
      cells[5 + i].className = 'value';
    });
  }

  // --- the meter page ---
  const readingRows = [['kWH', ['KWH']], ['kW', ['KW', 'KW-A', 'KW-B', 'KW-C']], ['PF', ['PF', 'PF-A', 'PF-B', 'PF-C']],
    ['Volts L-L', ['VLL', 'V-AB', 'V-BC', 'V-AC']], ['Volts L-N', ['VLN', 'V-AN', 'V-BN', 'V-CN']],
    ['Amps', ['AMPS-AVG', 'AMPS-A', 'AMPS-B', 'AMPS-C']]];
  const logFields = [['Current Date/Time', 'CLOCK'], ['SubInterval Length (Seconds)', 'SUBINTERVAL'],
    ['Log Entries', 'LOG-ENTRIES'], ['Days until rollover', 'DAYS-TO-ROLLOVER'], ['Buffer status', 'BUFFER'],
    ['Rollovers', 'ROLLOVERS'], ['Newest Log Entry', 'NEWEST-ENTRY']];
  const chartKeys = ['KWH', 'KW', 'KVAR', 'KVA', 'PF', 'VLL', 'VLN', 'AMPS-AVG', 'KW-A', 'KW-B', 'KW-C', 'PF-A', 'PF-B',
    'PF-C', 'V-AB', 'V-BC', 'V-AC', 'V-AN', 'V-BN', 'V-CN', 'AMPS-A', 'AMPS-B', 'AMPS-C'];

  function buildReadings() {
    const body = document.querySelector('#readings tbody');
    for (const [label, keys] of readingRows) {
      const row = element('tr');
      row.append(element('th', label));
      for (let i = 0; i < 4; ++i) {
        const cell = element('td', '', 'value');
        if (keys[i]) cell.id = 'reading-' + keys[i];
        row.append(cell);
      }
      body.append(row);
    }
  }

  function showMeterPage(entry) {
    const m = entry.meter;
    setText('title', m.meter + ' - ' + m.model);
    document.title = m.meter + ' - Pylax';
    setText('identification', m.identification);
    const state = condition(entry);
    const availability = document.getElementById('availability');
    availability.replaceChildren(element('span', availabilityText(entry), state === 'live' ? 'online'
      : (state === 'offline' ? 'offline' : 'failing')), element('span', '; last good poll: ' + ageText(entry)));
    document.getElementById('readings').className = 'readings' + (state === 'live' ? '' : ' stale');
    for (const [, keys] of readingRows) {
      for (const key of keys) setText('reading-' + key, m.display[key] || '');
    }
    const log = document.getElementById('log');
    log.hidden = m.model !== 'QM4C';
    log.className = 'log' + (state === 'live' ? '' : ' stale');
    log.replaceChildren();
    for (const [label, key] of logFields) log.append(element('dt', label), element('dd', m.display[key] || '', 'value'));
    showArchive(m);
    showActions(m);
  }

  // --- the actions, offered by a page with a password only ---
  let actionToken = null;
  function startActions() {
    fetch('/api/actions').then((r) => (r.ok ? r.json() : null)).then((offered) => {
      if (!offered) return;
      actionToken = offered.token;
      for (const button of document.querySelectorAll('#actions button')) {
        button.hidden = !offered.actions.includes(button.dataset.action);
        button.addEventListener('click', () => act(button.dataset.action));
      }
      refreshAll();
    });
  }

  function act(action) {
    setText('action-result', action + ': asked');
    fetch('/api/meters/' + encodeURIComponent(meterId) + '/' + action,
      { method: 'POST', headers: { 'X-Pylax-Token': actionToken } })
      .then((r) => (r.ok ? null : r.text().then((t) => setText('action-result', action + ': refused: ' + t))))
      .catch(() => setText('action-result', action + ': the monitor did not answer'));
  }

  function showActions(m) {
    document.getElementById('actions').hidden = actionToken === null || m.model !== 'QM4C';
    if (m.action) setText('action-result', m.action.action + ', ' + archiveText(m.action.time) + ': ' + m.action.result);
  }

  function archiveText(time) {
    return time === null ? '' : time.replace('T', ' ').replace('Z', ' UTC');
  }

  function showArchive(m) {
    const section = document.getElementById('archive');
    section.hidden = m.archive === undefined || m.model !== 'QM4C';
    if (section.hidden) return;
    const body = section.querySelector('tbody');
    body.replaceChildren();
    if (m.archive.length === 0) {
      const row = element('tr');
      const cell = element('td', 'not synced yet');
      cell.colSpan = 5;
      row.append(cell);
      body.append(row);
    }
    for (const a of m.archive) {
      const row = element('tr');
      const run = a.run > 0 ? 'run ' + a.run + ': ' + a.entries + ' entries from ' + archiveText(a.first) + ' to '
        + archiveText(a.newest) : 'nothing archived yet';
      const gaps = a.gaps === 0 ? 'none found' : a.gaps + ' (' + a.lost + ' entries lost; the last between '
        + archiveText(a.last_gap_after) + ' and ' + archiveText(a.last_gap_before) + ')';
      const sync = archiveText(a.synced) + (a.ok ? ': ok' : ': failed: ' + a.error);
      row.append(element('td', a.url), element('td', archiveText(a.newest)), element('td', run), element('td', gaps),
        element('td', sync, a.ok ? '' : 'offline'));
      body.append(row);
    }
  }

  // Two charts over the span picked (the last hour unless told): kW, and
  // the quantity picked. A tick every tenth or so of the span, on whole
  // minutes.
  const charts = {};
  const tickSteps = { 5: 60000, 15: 180000, 60: 600000 };
  let points = [];  // {t: ms, values: {key: number}} of each poll; null values: a failed poll
  // This browser's clock less the monitor's, so that the history's times
  // and the polls that come live lie on one axis whatever the two clocks say.
  let clockOffset = null;

  function timeLabel(value) {
    const d = new Date(value);
    return String(d.getHours()).padStart(2, '0') + ':' + String(d.getMinutes()).padStart(2, '0');
  }

  // Every chart fills its box, drawn at once.
  const chartBasics = { animation: false, maintainAspectRatio: false };

  function makeChart(canvas, color, unit) {
    return new Chart(canvas, {
      type: 'line',
      data: { datasets: [{ data: [], borderColor: color, backgroundColor: color, borderWidth: 1.5, pointRadius: 0,
        spanGaps: false }] },
      options: {
        ...chartBasics, parsing: false, normalized: true,
        plugins: { legend: { display: false }, tooltip: { enabled: false } },
        scales: {
          x: { type: 'linear', ticks: { stepSize: 600000, callback: timeLabel, maxRotation: 0, includeBounds: false } },
          y: { type: 'linear', grace: '5%', title: { display: true, text: unit } },
        },
      },
    });
  }

  function pickedKey() {
    return document.getElementById('pick').value;
  }

  function drawCharts() {
    if (!charts.kw) return;
    const now = Date.now();
    const minutes = Number(document.getElementById('span').value);
    points = points.filter((p) => p.t >= now - 3600000);
    const shown = points.filter((p) => p.t >= now - minutes * 60000);
    charts.pick.options.scales.y.title.text = pickedKey();
    for (const [chart, key] of [[charts.kw, 'KW'], [charts.pick, pickedKey()]]) {
      chart.data.datasets[0].data = shown.map((p) => ({ x: p.t, y: p.values && key in p.values ? p.values[key] : null }));
      chart.options.scales.x.min = now - minutes * 60000;
      chart.options.scales.x.max = now;
      chart.options.scales.x.ticks.stepSize = tickSteps[minutes];
      chart.update('none');
    }
  }

  function fillPick(m) {
    const pick = document.getElementById('pick');
    if (pick.options.length > 0) return;
    for (const key of chartKeys) {
      if (key !== 'KW' && key in m) pick.append(new Option(key, key));
    }
    pick.value = 'VLN' in m ? 'VLN' : 'KWH';
    pick.addEventListener('change', drawCharts);
  }

  function valuesOf(sample) {
    const values = {};
    for (const key of chartKeys) {
      if (key in sample) values[key] = sample[key];
    }
    return Object.keys(values).length > 0 ? values : null;
  }

  function addPoint(m) {
    if (m.last_poll_ok === null) return;
    if (clockOffset === null && m.time) {
      clockOffset = Date.now() - m.age * 1000 - Date.parse(m.time);
      fetchHistory();
    }
    points.push({ t: Date.now(), values: m.last_poll_ok ? valuesOf(m) : null });
    drawCharts();
  }

  function startCharts() {
    if (typeof Chart === 'undefined') return;
    charts.kw = makeChart(document.getElementById('kw-chart'), '#d4731a', 'kW');
    charts.pick = makeChart(document.getElementById('pick-chart'), '#1f6fc5', '');
    document.getElementById('span').addEventListener('change', drawCharts);
  }

  // The hour before the page opened, once the two clocks are compared.
  function fetchHistory() {
    fetch('/api/meters/' + encodeURIComponent(meterId) + '/history?minutes=60')
      .then((response) => (response.ok ? response.json() : []))
      .then((samples) => {
        const older = samples.map((s) => ({ t: Date.parse(s.time) + clockOffset, values: valuesOf(s) }));
        const first = points.length > 0 ? points[0].t : Infinity;
        points = older.filter((p) => p.t < first).concat(points);
        drawCharts();
      });
  }

  // --- the bus page's consumption: the archive's, by the report's rules ---
  let archivedSeen = '';

  function barChart(canvas, color) {
    return new Chart(canvas, {
      type: 'bar',
      data: { labels: [], datasets: [{ data: [], backgroundColor: color }] },
      options: {
        ...chartBasics,
        plugins: { legend: { display: false } },
        scales: { y: { beginAtZero: true, title: { display: true, text: 'kWh' } } },
      },
    });
  }

  // A meter's two charts: by day (the last 31) and by month (the last 13).
  function useCharts(id) {
    const box = document.getElementById('use-meter-' + id);
    if (box) return box.charts;
    const created = element('div');
    created.id = 'use-meter-' + id;
    const row = element('div', null, 'use');
    const charts = {};
    for (const [span, color] of [['days', '#1f6fc5'], ['months', '#d4731a']]) {
      const holder = element('div', null, 'chart');
      const canvas = element('canvas');
      canvas.id = span + '-' + id;
      holder.append(canvas);
      row.append(holder);
      charts[span] = barChart(canvas, color);
    }
    created.append(element('h2', id), row);
    created.charts = charts;
    document.getElementById('consumption-meters').append(created);
    return charts;
  }

  function showConsumption(use) {
    if (!use.bus) return;  // nothing archived yet
    document.getElementById('consumption').hidden = false;
    for (const key of ['today', 'yesterday', 'this_month', 'last_month']) setText('use-' + key, use.bus[key]);
    if (typeof Chart === 'undefined') return;
    for (const m of use.meters) {
      const charts = useCharts(m.meter);
      for (const span of ['days', 'months']) {
        charts[span].data.labels = use[span];
        charts[span].data.datasets[0].data = m[span].map(Number);
        charts[span].update('none');
      }
    }
  }

  function fetchConsumption() {
    fetch('/api/consumption').then((r) => (r.ok ? r.json() : null)).then((use) => { if (use) showConsumption(use); });
  }

  // Again whenever a sync brought a meter's log further.
  function noteArchived(meter) {
    if (!meter.archived || meter.archived <= archivedSeen) return;
    archivedSeen = meter.archived;
    fetchConsumption();
  }

  // --- both pages ---
  function show(meter) {
    const entry = { meter: meter, at: Date.now() };
    const before = meters.get(meter.meter);
    meters.set(meter.meter, entry);
    if (page === 'bus') {
      showRow(entry);
      noteArchived(meter);
    } else if (meter.meter === meterId) {
      fillPick(meter);
      showMeterPage(entry);
      if (!before || before.meter.polls !== meter.polls) addPoint(meter);  // else the same poll said again
    }
  }

  function refreshAll() {
    for (const entry of meters.values()) {
      if (page === 'bus') showRow(entry);
      else if (entry.meter.meter === meterId) showMeterPage(entry);
    }
  }

  if (page === 'bus') {
    fetchConsumption();
    setInterval(fetchConsumption, 60000);
  }
  if (page === 'meter') {
    buildReadings();
    startCharts();
    startActions();
  }
  const source = new EventSource('/events');
  source.addEventListener('open', () => showConnection(true));
  source.addEventListener('error', () => showConnection(false));
  source.addEventListener('bus', (e) => showBus(JSON.parse(e.data)));
  source.addEventListener('meter', (e) => show(JSON.parse(e.data)));
  setInterval(() => { refreshAll(); if (page === 'meter') drawCharts(); }, 1000);
})();
