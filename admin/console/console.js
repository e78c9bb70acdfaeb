// Velmo operator console: the management port's fleet API, live over
// /v1/events. Everything the server sends (SNs, addresses, log lines, error
// texts) goes into the page as text (textContent, attribute values), never
// as markup: it comes from devices, and devices are not to be trusted.
'use strict';

(function () {
  const PAGE_SIZE = 100;
  const LOG_LINES = 1000;
  const LIST_GAP_MS = 500;          // device events reload the page of devices at most twice a second
  const LIST_REFRESH_MS = 5000;     // and it is reloaded this often anyway (heartbeat times)
  const CHART_SPAN_MS = 3600 * 1000;
  const CHART_STEP_MS = 10 * 1000;  // an unchanged count adds a point this often
  const STREAM_SILENCE_MS = 5000;   // stats come once a second: this long without a byte is a dead stream
  const RETRY_MIN_MS = 500;
  const RETRY_MAX_MS = 5000;
  const TOKEN_KEY = 'velmo.token';  // sessionStorage: gone with the tab
  const LANG_KEY = 'velmo.lang';    // localStorage

  const TEXT = {
    zh: {
      connecting: '连接中…',
      live: '实时',
      reconnecting: '重新连接中…',
      tokenTitle: '需要访问令牌',
      tokenHelp: '此管理端口要求令牌（--admin-token-file）。令牌只保存在本标签页中。',
      tokenLabel: '令牌',
      tokenSubmit: '确定',
      tokenWrong: '令牌不正确，请重新输入。',
      tokenEmpty: '请输入令牌。',
      tokenInvalid: '令牌含有无法发送的字符。',
      groupButtons: '功能按键',
      startListen: '开始监听',
      stopListen: '停止监听',
      closeAll: '关闭连接',
      cancelRecv: '取消接收',
      clients: '在线客户端：',
      devices: '在线设备数：',
      listening: '监听中',
      notListening: '未监听',
      uptime: (text) => '已运行 ' + text,
      groupDevices: '设备',
      chartCaption: '最近一小时的在线设备数',
      chartNow: '现在',
      chartAgo: (m) => m + ' 分钟前',
      filter: 'SN 前缀：',
      scope: '范围：',
      scopeNode: '本节点',
      scopeCluster: '整个集群',
      colNode: '节点',
      filterHint: '按 SN 前缀筛选',
      prev: '上一页',
      next: '下一页',
      range: (a, b, total) => (total === 0 ? '共 0' : a + '–' + b + ' / 共 ' + total),
      colNumber: '序号',
      colSn: '设备SN号',
      colAddress: '设备地址',
      colRegistered: '注册时间',
      colHeartbeat: '最后心跳',
      colCommand: '命令',
      colResult: '结果',
      colActions: '操作',
      noDevices: '没有设备',
      commandHint: '命令文本',
      send: '发送',
      info: '信息',
      disconnect: '断开',
      sending: '发送中…',
      querying: '查询中…',
      taken: '设备已取走命令',
      queued: '设备暂未取走，命令已排队',
      offline: '设备不在线',
      infoText: (i) => '版本 ' + i.version + ' · IP ' + i.ip + ' · MAC ' + i.mac + ' · 运行时间 ' + i.runtime,
      disconnected: '已断开',
      confirmDisconnect: (sn) => '断开设备 ' + sn + ' 的连接？',
      confirmCloseAll: '关闭所有连接？所有设备和客户端都会断开。',
      working: '执行中…',
      done: '完成',
      failed: (text) => '失败：' + text,
      groupLog: '日志',
      clear: '清除',
      dropped: (n) => '有 ' + n + ' 个事件未能送达，已重新载入列表和日志',
      unreachable: '无法连接管理端口，稍后重试…',
      refused: (text) => '管理端口拒绝了请求：' + text,
      langSwitch: 'English',
    },
    en: {
      connecting: 'connecting…',
      live: 'live',
      reconnecting: 'reconnecting…',
      tokenTitle: 'Access token needed',
      tokenHelp: 'This management port asks for a token (--admin-token-file). It is kept in this tab only.',
      tokenLabel: 'Token',
      tokenSubmit: 'OK',
      tokenWrong: 'Wrong token; enter it again.',
      tokenEmpty: 'Enter the token.',
      tokenInvalid: 'The token has characters that cannot be sent.',
      groupButtons: 'Controls',
      startListen: 'Start listening',
      stopListen: 'Stop listening',
      closeAll: 'Close connections',
      cancelRecv: 'Cancel transfers',
      clients: 'Online clients:',
      devices: 'Online devices:',
      listening: 'listening',
      notListening: 'not listening',
      uptime: (text) => 'up ' + text,
      groupDevices: 'Devices',
      chartCaption: 'Online devices over the last hour',
      chartNow: 'now',
      chartAgo: (m) => m + ' min ago',
      filter: 'SN prefix:',
      scope: 'Scope:',
      scopeNode: 'this node',
      scopeCluster: 'whole fleet',
      colNode: 'Node',
      filterHint: 'filter by SN prefix',
      prev: 'Previous',
      next: 'Next',
      range: (a, b, total) => (total === 0 ? '0 of 0' : a + '–' + b + ' of ' + total),
      colNumber: '#',
      colSn: 'Device SN',
      colAddress: 'Address',
      colRegistered: 'Registered',
      colHeartbeat: 'Last heartbeat',
      colCommand: 'Command',
      colResult: 'Result',
      colActions: 'Actions',
      noDevices: 'No devices',
      commandHint: 'command text',
      send: 'Send',
      info: 'Info',
      disconnect: 'Disconnect',
      sending: 'sending…',
      querying: 'querying…',
      taken: 'the device took the command',
      queued: 'not taken yet; the command waits in its queue',
      offline: 'the device is not online',
      infoText: (i) => 'version ' + i.version + ' · ip ' + i.ip + ' · mac ' + i.mac + ' · runtime ' + i.runtime,
      disconnected: 'disconnected',
      confirmDisconnect: (sn) => 'Disconnect device ' + sn + '?',
      confirmCloseAll: 'Close all connections? Every device and client is disconnected.',
      working: 'working…',
      done: 'done',
      failed: (text) => 'failed: ' + text,
      groupLog: 'Log',
      clear: 'Clear',
      dropped: (n) => n + ' events were dropped; the list and the log were reloaded',
      unreachable: 'The management port cannot be reached; trying again…',
      refused: (text) => 'The management port refused the request: ' + text,
      langSwitch: '中文',
    },
  };

  const $ = (id) => document.getElementById(id);
  const SVG_NS = 'http://www.w3.org/2000/svg';

  let lang = 'zh';
  let token = '';
  let running = false;          // the token (if any) was taken; the page is live
  let lastStats = null;
  let clockSkew = 0;            // server clock minus ours, from the stats

  // ---- settings that outlive a call -------------------------------------

  function storageGet(store, key) {
    try {
      return store.getItem(key);
    } catch (e) {
      return null;
    }
  }

  function storageSet(store, key, value) {
    try {
      if (value === null) store.removeItem(key);
      else store.setItem(key, value);
    } catch (e) {
      // private mode or storage off: the setting lasts as long as the page
    }
  }

  // ---- language ---------------------------------------------------------

  function t(key, ...args) {
    const value = (TEXT[lang] || TEXT.zh)[key];
    if (value === undefined) return key;
    return typeof value === 'function' ? value(...args) : value;
  }

  function applyLang() {
    document.documentElement.lang = lang === 'en' ? 'en' : 'zh-CN';
    for (const el of document.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
    for (const el of document.querySelectorAll('[data-i18n-placeholder]')) {
      el.placeholder = t(el.dataset.i18nPlaceholder);
    }
    $('lang-switch').textContent = t('langSwitch');
    if (lastStats) showStats(lastStats);
    showRange();
    drawChart();
    for (const row of rows.values()) showResult(row);
  }

  // Sets `el` to the text of `key`, and keeps it so across language switches.
  function setKeyed(el, key) {
    el.dataset.i18n = key;
    el.textContent = t(key);
  }

  // ---- requests ---------------------------------------------------------

  class Unauthorized extends Error {}

  // fetch() with the headers every request needs: the token when there is
  // one, and X-Velmo-Request, without which a state change is refused.
  async function request(method, path, body, signal) {
    const headers = new Headers();
    headers.set('X-Velmo-Request', '1');
    if (token) headers.set('Authorization', 'Bearer ' + token);
    const init = { method, headers, cache: 'no-store', credentials: 'same-origin' };
    if (body !== undefined) init.body = body;
    if (signal) init.signal = signal;
    const res = await fetch(path, init);
    if (res.status === 401) {
      unauthorized();
      throw new Unauthorized('unauthorized');
    }
    return res;
  }

  async function readJson(res) {
    try {
      return await res.json();
    } catch (e) {
      return null;
    }
  }

  // "504 no answer": the status and the server's error text.
  function errorText(res, body) {
    const what = body && typeof body === 'object' ? body.error || body.status : '';
    return String(res.status) + (what ? ' ' + String(what) : ' ' + res.statusText);
  }

  function deviceUrl(sn, rest) {
    return '/v1/devices/' + encodeURIComponent(sn) + (rest || '');
  }

  // ---- token ------------------------------------------------------------

  function unauthorized() {
    const hadToken = token !== '';
    token = '';
    storageSet(sessionStorage, TOKEN_KEY, null);
    stopLive();
    showTokenForm(hadToken ? 'tokenWrong' : null);
  }

  function showTokenForm(errorKey) {
    const overlay = $('token-overlay');
    const wasHidden = overlay.hidden;
    overlay.hidden = false;
    if (errorKey) setKeyed($('token-error'), errorKey);
    if (wasHidden || errorKey) {
      const input = $('token-input');
      input.value = '';
      input.focus();
    }
  }

  function hideTokenForm() {
    $('token-overlay').hidden = true;
    $('token-error').textContent = '';
    delete $('token-error').dataset.i18n;
  }

  async function onTokenSubmit(event) {
    event.preventDefault();
    const value = $('token-input').value.trim();
    if (value === '') return setKeyed($('token-error'), 'tokenEmpty');
    // A header carries Latin-1 only; anything else would make fetch() throw.
    if (!/^[\x20-\x7e\xa0-\xff]+$/.test(value)) return setKeyed($('token-error'), 'tokenInvalid');
    $('token-error').textContent = '';
    delete $('token-error').dataset.i18n;
    token = value;
    storageSet(sessionStorage, TOKEN_KEY, value);
    await tryStart();
  }

  // ---- start and stop ---------------------------------------------------

  let startRetry = null;

  // Checks the access with /v1/stats and, when it is granted, goes live.
  async function tryStart() {
    clearTimeout(startRetry);
    let res;
    try {
      res = await request('GET', '/v1/stats');
    } catch (e) {
      if (e instanceof Unauthorized) return;
      showPageError(t('unreachable'));
      startRetry = setTimeout(tryStart, 2000);  // the server is away: try again
      return;
    }
    if (!res.ok) {
      // 403 for a Host the port does not serve, say: tell the operator.
      showPageError(t('refused', errorText(res, await readJson(res))));
      startRetry = setTimeout(tryStart, 2000);
      return;
    }
    const stats = await readJson(res);
    showPageError('');
    hideTokenForm();
    if (stats) onStats(stats);
    if (running) return;
    running = true;
    loadCluster();
    loadHistory();
    runEvents();
  }

  // One node of a fleet: the list may show the whole fleet.
  async function loadCluster() {
    try {
      const res = await request('GET', '/v1/cluster');
      const body = res.ok ? await readJson(res) : null;
      $('scope-box').hidden = !(body && body.enabled === true);
    } catch (e) {
      if (!(e instanceof Unauthorized)) console.warn('velmo console: cluster', e);
    }
  }

  function showPageError(text) {
    const el = $('page-error');
    el.textContent = text;
    el.hidden = text === '';
  }

  function stopLive() {
    running = false;
    if (stream.abort) stream.abort.abort();
    setConnState('connecting', false);
  }

  // ---- the event stream -------------------------------------------------

  const stream = { abort: null, lastData: 0, open: false, generation: 0 };

  function setConnState(key, up) {
    const el = $('conn-state');
    setKeyed(el, key);
    el.classList.toggle('conn-up', up);
    el.classList.toggle('conn-down', !up);
  }

  // Reads /v1/events for as long as the page is live, with fetch() (an
  // EventSource could not send the token), and reconnects after a short
  // pause whenever the stream ends.
  async function runEvents() {
    const generation = ++stream.generation;
    let retry = RETRY_MIN_MS;
    while (running && generation === stream.generation) {
      const abort = new AbortController();
      stream.abort = abort;
      try {
        const res = await request('GET', '/v1/events', undefined, abort.signal);
        if (!res.ok || !res.body) throw new Error('HTTP ' + res.status);
        stream.open = true;
        stream.lastData = Date.now();
        setConnState('live', true);
        onStreamOpen();
        // The pause before the next attempt starts over only for a stream
        // that carried events, not for one that opens and ends at once.
        await readEvents(res.body.getReader(), abort.signal, () => { retry = RETRY_MIN_MS; });
      } catch (e) {
        if (e instanceof Unauthorized) return;
      } finally {
        stream.open = false;
      }
      if (!running || generation !== stream.generation) return;
      setConnState('reconnecting', false);
      await new Promise((resolve) => setTimeout(resolve, retry));
      retry = Math.min(retry * 2, RETRY_MAX_MS);
    }
  }

  // Reads server-sent events from `reader` until it ends or `signal` aborts;
  // `onFirst` runs once, when the first event arrives.
  async function readEvents(reader, signal, onFirst) {
    const decoder = new TextDecoder();
    let buffer = '';
    const cancel = () => reader.cancel().catch(() => {});
    signal.addEventListener('abort', cancel);
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        stream.lastData = Date.now();
        buffer += decoder.decode(value, { stream: true });
        // Events end with an empty line; a line ends with \n, \r\n or \r. A
        // \r at the very end waits for the next chunk: it may be half a \r\n.
        const held = buffer.endsWith('\r') ? '\r' : '';
        buffer = buffer.slice(0, buffer.length - held.length).replace(/\r\n?/g, '\n') + held;
        let end;
        while ((end = buffer.indexOf('\n\n')) >= 0) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          if (onFirst) {
            onFirst();
            onFirst = null;
          }
          dispatchBlock(block);
        }
      }
    } finally {
      signal.removeEventListener('abort', cancel);
    }
  }

  function dispatchBlock(block) {
    let name = 'message';
    const data = [];
    for (const line of block.split('\n')) {
      if (line === '' || line.startsWith(':')) continue;
      const colon = line.indexOf(':');
      const field = colon < 0 ? line : line.slice(0, colon);
      let value = colon < 0 ? '' : line.slice(colon + 1);
      if (value.startsWith(' ')) value = value.slice(1);
      if (field === 'event') name = value;
      else if (field === 'data') data.push(value);
    }
    if (data.length === 0) return;
    let payload;
    try {
      payload = JSON.parse(data.join('\n'));
    } catch (e) {
      return;
    }
    try {
      onEvent(name, payload);
    } catch (e) {
      console.error('velmo console: event ' + name, e);
    }
  }

  let droppedNote = null;

  function onEvent(name, payload) {
    if (name === 'stats') {
      onStats(payload);
    } else if (name === 'log') {
      onLogLine(typeof payload.line === 'string' ? payload.line : String(payload.line));
    } else if (name === 'device') {
      scheduleList();
    } else if (name === 'dropped') {
      $('log-note').textContent = t('dropped', Number(payload.dropped) || 0);
      clearTimeout(droppedNote);
      droppedNote = setTimeout(() => { $('log-note').textContent = ''; }, 15000);
      scheduleList();
      seedLog();
    }
  }

  // After a (re)connect whatever happened meanwhile is unknown: reload.
  function onStreamOpen() {
    scheduleList();
    seedLog();
  }

  // A stream that has gone quiet (a half-open connection) is ended, so the
  // loop above reconnects.
  setInterval(() => {
    if (running && stream.open && Date.now() - stream.lastData > STREAM_SILENCE_MS && stream.abort) {
      stream.abort.abort();
    }
  }, 1000);

  // ---- counters and chart -----------------------------------------------

  const chart = { points: [] };  // {t: ms (our clock), v: devices}, oldest first

  function onStats(stats) {
    lastStats = stats;
    if (typeof stats.started_at === 'string' && typeof stats.uptime_s === 'number') {
      const started = Date.parse(stats.started_at);
      if (!Number.isNaN(started)) clockSkew = started + stats.uptime_s * 1000 - Date.now();
    }
    showStats(stats);
    addPoint(Date.now(), Number(stats.devices) || 0);
    drawChart();
  }

  function showStats(stats) {
    $('client-count').textContent = String(Number(stats.clients) || 0);
    $('device-count').textContent = String(Number(stats.devices) || 0);
    const listen = $('listen-state');
    setKeyed(listen, stats.listening ? 'listening' : 'notListening');
    listen.classList.toggle('on', !!stats.listening);
    listen.classList.toggle('off', !stats.listening);
    $('uptime').textContent = t('uptime', formatDuration(Number(stats.uptime_s) || 0));
  }

  function formatDuration(seconds) {
    const d = Math.floor(seconds / 86400);
    const h = Math.floor((seconds % 86400) / 3600);
    const m = Math.floor((seconds % 3600) / 60);
    const s = Math.floor(seconds % 60);
    const two = (n) => String(n).padStart(2, '0');
    return (d > 0 ? d + 'd ' : '') + two(h) + ':' + two(m) + ':' + two(s);
  }

  function addPoint(t, v) {
    const points = chart.points;
    const last = points[points.length - 1];
    if (last && t < last.t) return;
    if (!last || last.v !== v || t - last.t >= CHART_STEP_MS) points.push({ t, v });
    // Keep one point older than the hour: the line starts at the left edge.
    const from = Date.now() - CHART_SPAN_MS;
    let drop = 0;
    while (drop + 1 < points.length && points[drop + 1].t <= from) drop++;
    if (drop > 0) points.splice(0, drop);
  }

  async function loadHistory() {
    let res;
    try {
      res = await request('GET', '/v1/stats/history');
    } catch (e) {
      return;
    }
    if (!res.ok) return;  // 404: a server without history; the chart starts now
    const body = await readJson(res);
    if (!body || !Array.isArray(body.samples)) return;
    const seeded = [];
    for (const s of body.samples) {
      const at = Date.parse(s.at);
      if (Number.isNaN(at)) continue;
      seeded.push({ t: at - clockSkew, v: Number(s.devices) || 0 });
    }
    seeded.sort((a, b) => a.t - b.t);
    // What came live meanwhile goes after the history.
    const newest = seeded.length ? seeded[seeded.length - 1].t : -Infinity;
    chart.points = seeded.concat(chart.points.filter((p) => p.t > newest));
    drawChart();
  }

  function svg(name, attrs, text) {
    const el = document.createElementNS(SVG_NS, name);
    for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, String(v));
    if (text !== undefined) el.textContent = text;
    return el;
  }

  // The least of 1, 2, 5, 10, 20, 50, ... that is at least `v`.
  function niceMax(v) {
    if (v <= 1) return 1;
    let step = 1;
    for (;;) {
      for (const m of [1, 2, 5]) if (m * step >= v) return m * step;
      step *= 10;
    }
  }

  function drawChart() {
    const box = $('device-chart');
    const W = 720;
    const H = 150;
    const L = 48;
    const R = 14;
    const T = 10;
    const B = 26;
    const now = Date.now();
    const from = now - CHART_SPAN_MS;
    const points = chart.points;
    let top = 0;
    for (const p of points) top = Math.max(top, p.v);
    const max = niceMax(top);
    const x = (t) => L + (Math.max(t, from) - from) / CHART_SPAN_MS * (W - L - R);
    const y = (v) => T + (1 - v / max) * (H - T - B);
    const parts = [];

    for (let m = 60; m >= 0; m -= 15) {
      const gx = x(now - m * 60000).toFixed(1);
      parts.push(svg('line', { class: 'grid', x1: gx, x2: gx, y1: T, y2: H - B }));
      parts.push(svg('text', { x: gx, y: H - 8, 'text-anchor': m === 60 ? 'start' : m === 0 ? 'end' : 'middle' },
        m === 0 ? t('chartNow') : t('chartAgo', m)));
    }
    const ticks = max % 2 === 0 ? [0, max / 2, max] : [0, max];
    for (const v of ticks) {
      const gy = y(v).toFixed(1);
      parts.push(svg('line', { class: 'grid', x1: L, x2: W - R, y1: gy, y2: gy }));
      parts.push(svg('text', { x: L - 6, y: (Number(gy) + 4).toFixed(1), 'text-anchor': 'end' }, String(v)));
    }
    parts.push(svg('line', { class: 'axis', x1: L, x2: L, y1: T, y2: H - B }));
    parts.push(svg('line', { class: 'axis', x1: L, x2: W - R, y1: H - B, y2: H - B }));

    // From the last point before the hour on (it starts the line at the left edge).
    const visible = points.filter((p, i) => p.t >= from || i === points.length - 1 || points[i + 1].t > from);
    if (visible.length > 0) {
      // A count holds until the next sample: a step line up to now.
      let d = 'M' + x(visible[0].t).toFixed(1) + ' ' + y(visible[0].v).toFixed(1);
      for (let i = 1; i < visible.length; i++) {
        d += ' H' + x(visible[i].t).toFixed(1) + ' V' + y(visible[i].v).toFixed(1);
      }
      d += ' H' + x(now).toFixed(1);
      const base = y(0).toFixed(1);
      parts.push(svg('path', { class: 'area', d: d + ' V' + base + ' H' + x(visible[0].t).toFixed(1) + ' Z' }));
      parts.push(svg('path', { id: 'device-series', class: 'series', d }));
    }
    box.replaceChildren(...parts);
  }

  // ---- the device list --------------------------------------------------

  const rows = new Map();  // SN + socket -> row; a row keeps its input and result across reloads
  const list = { offset: 0, total: 0, shown: 0, busy: false, dirty: false, timer: null, last: 0 };

  // Asks for a reload of the page of devices, at most one per LIST_GAP_MS
  // and one at a time; asks that come meanwhile fold into the next one.
  function scheduleList() {
    list.dirty = true;
    if (list.busy || list.timer || !running) return;
    const wait = Math.max(0, list.last + LIST_GAP_MS - Date.now());
    list.timer = setTimeout(runList, wait);
  }

  async function runList() {
    list.timer = null;
    if (!running) return;
    list.dirty = false;
    list.busy = true;
    list.last = Date.now();
    try {
      await loadDevices();
    } catch (e) {
      if (!(e instanceof Unauthorized)) console.warn('velmo console: device list', e);
    } finally {
      list.busy = false;
      if (list.dirty) scheduleList();
    }
  }

  async function loadDevices() {
    const prefix = $('sn-filter').value;
    const askedOffset = list.offset;
    const scope = $('scope').value;
    const query = new URLSearchParams({
      prefix: prefix,
      offset: String(askedOffset),
      limit: String(PAGE_SIZE),
    });
    if (scope === 'cluster') query.set('scope', 'cluster');
    const res = await request('GET', '/v1/devices?' + query.toString());
    if (!res.ok) throw new Error(errorText(res, await readJson(res)));
    const body = await readJson(res);
    if (!body || !Array.isArray(body.devices)) throw new Error('malformed device list');
    if (prefix !== $('sn-filter').value || askedOffset !== list.offset || scope !== $('scope').value) {
      // The operator turned the page or changed the filter meanwhile: this
      // answer is for a page nobody looks at any more.
      list.dirty = true;
      return;
    }
    const total = Number(body.total) || 0;
    if (body.devices.length === 0 && total > 0 && list.offset > 0) {
      // Devices left and the page is past the end: go to the last one.
      list.offset = Math.floor((total - 1) / PAGE_SIZE) * PAGE_SIZE;
      list.dirty = true;
      return;
    }
    showDevices(body.devices, Number(body.offset) || 0, total);
  }

  function showDevices(devices, offset, total) {
    const tbody = $('device-rows');
    const seen = new Set();
    devices.forEach((d, i) => {
      const sn = String(d.sn);
      const key = sn + '\u0000' + String(d.node || '') + '\u0000' + String(d.socket);
      let row = rows.get(key);
      if (!row) {
        row = makeRow(sn);
        rows.set(key, row);
      }
      fillRow(row, d, offset + i + 1);
      seen.add(key);
      const at = tbody.children[i];
      if (at !== row.tr) tbody.insertBefore(row.tr, at || null);
    });
    for (const [key, row] of rows) {
      if (!seen.has(key)) {
        row.tr.remove();
        rows.delete(key);
      }
    }
    list.total = total;
    list.shown = devices.length;
    list.offset = offset;
    $('device-empty').hidden = devices.length > 0;
    showRange();
  }

  function showRange() {
    const first = list.shown > 0 ? list.offset + 1 : 0;
    const last = list.offset + list.shown;
    $('page-range').textContent = t('range', first, last, list.total);
    $('page-prev').disabled = list.offset <= 0;
    $('page-next').disabled = list.offset + PAGE_SIZE >= list.total;
  }

  function td(className) {
    const cell = document.createElement('td');
    if (className) cell.className = className;
    return cell;
  }

  function button(key, className) {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'small' + (className ? ' ' + className : '');
    setKeyed(b, key);
    return b;
  }

  function makeRow(sn) {
    const row = { sn, result: null };
    const tr = document.createElement('tr');
    tr.dataset.sn = sn;
    row.tr = tr;
    row.num = td('num');
    row.snCell = td('sn');
    row.snCell.textContent = sn;
    row.address = td('address');
    row.node = td('node-col');
    row.registered = td('time');
    row.heartbeat = td('time');
    const command = td();
    const cmd = document.createElement('div');
    cmd.className = 'cmd';
    row.input = document.createElement('input');
    row.input.type = 'text';
    row.input.className = 'cmd-input';
    row.input.dataset.i18nPlaceholder = 'commandHint';
    row.input.placeholder = t('commandHint');
    row.input.spellcheck = false;
    const send = button('send', 'cmd-send');
    cmd.append(row.input, send);
    command.append(cmd);
    row.resultCell = td('result');
    const actions = td();
    const wrap = document.createElement('div');
    wrap.className = 'actions';
    const info = button('info', 'info');
    const drop = button('disconnect', 'disconnect danger');
    wrap.append(info, drop);
    actions.append(wrap);
    tr.append(row.num, row.snCell, row.address, row.node, row.registered, row.heartbeat, command, row.resultCell, actions);

    send.addEventListener('click', () => sendCommand(row));
    row.input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') sendCommand(row);
    });
    info.addEventListener('click', () => queryInfo(row));
    drop.addEventListener('click', () => disconnectDevice(row));
    return row;
  }

  function fillRow(row, d, number) {
    setText(row.num, String(number));
    setText(row.address, String(d.ip));
    setText(row.node, d.node === undefined ? '' : String(d.node));
    row.address.title = 'port ' + d.port + ', socket ' + d.socket;
    setText(row.registered, shortTime(d.registered_at));
    setText(row.heartbeat, shortTime(d.last_heartbeat_at));
  }

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  // "2026-12-10T23:18:17+01:00" -> "2026-12-10 23:18:17" (the server's local time).
  function shortTime(iso) {
    if (typeof iso !== 'string') return '';
    return iso.slice(0, 19).replace('T', ' ');
  }

  // The result cell: a class and a function that gives its text in the
  // current language.
  function setResult(row, cls, text, tip) {
    row.result = { cls, text, tip };
    showResult(row);
  }

  function showResult(row) {
    const cell = row.resultCell;
    if (!row.result) {
      cell.textContent = '';
      return;
    }
    cell.className = 'result ' + row.result.cls;
    cell.textContent = row.result.text();
    cell.title = row.result.tip ? row.result.tip() : '';
  }

  const STATUS_CLASS = { taken: 'ok', queued: 'warn', offline: 'bad' };

  // Runs one request for a device's row: `ask` sends it and returns the
  // response; `show` turns the answer (response, JSON body) into the row's
  // result, or returns false to show the error the answer carries.
  async function deviceCall(row, ask, show) {
    try {
      const res = await ask();
      const body = res.status === 204 ? null : await readJson(res);
      if (!show(res, body)) {
        const message = errorText(res, body);
        setResult(row, 'bad', () => message);
      }
    } catch (e) {
      if (e instanceof Unauthorized) return;
      const message = String(e.message || e);
      setResult(row, 'bad', () => message);
    }
  }

  async function sendCommand(row) {
    const text = row.input.value;
    if (text === '') {
      row.input.focus();
      return;
    }
    setResult(row, 'pending', () => t('sending'));
    await deviceCall(row, () => request('POST', deviceUrl(row.sn, '/commands'), text), (res, body) => {
      const status = body && typeof body.status === 'string' ? body.status : null;
      if (!status || !STATUS_CLASS[status]) return false;
      setResult(row, STATUS_CLASS[status], () => status, () => t(status));
      return true;
    });
  }

  async function queryInfo(row) {
    setResult(row, 'pending', () => t('querying'));
    await deviceCall(row, () => request('GET', deviceUrl(row.sn, '/info')), (res, body) => {
      if (res.status !== 200 || !body) return false;
      const info = {
        version: String(body.version),
        ip: String(body.ip),
        mac: String(body.mac),
        runtime: String(body.runtime),
      };
      setResult(row, 'ok', () => t('infoText', info));
      return true;
    });
  }

  async function disconnectDevice(row) {
    if (!window.confirm(t('confirmDisconnect', row.sn))) return;
    await deviceCall(row, () => request('DELETE', deviceUrl(row.sn)), (res) => {
      if (res.status === 204) {
        setResult(row, 'ok', () => t('disconnected'));
      } else if (res.status === 404) {
        setResult(row, 'bad', () => 'offline', () => t('offline'));
      } else {
        return false;
      }
      return true;
    });
    scheduleList();
  }

  // ---- the window's buttons ---------------------------------------------

  async function serverAction(btn, method, path, confirmKey) {
    if (confirmKey && !window.confirm(t(confirmKey))) return;
    const status = $('action-status');
    btn.disabled = true;
    setKeyed(status, 'working');
    try {
      const res = await request(method, path);
      if (res.ok) {
        setKeyed(status, 'done');
      } else {
        delete status.dataset.i18n;
        status.textContent = t('failed', errorText(res, await readJson(res)));
      }
    } catch (e) {
      if (!(e instanceof Unauthorized)) {
        delete status.dataset.i18n;
        status.textContent = t('failed', String(e.message || e));
      }
    } finally {
      btn.disabled = false;
    }
  }

  // ---- the log ----------------------------------------------------------

  const log = { pending: [], timer: null, seeding: false, buffered: [] };

  function onLogLine(line) {
    if (log.seeding) log.buffered.push(line);
    else appendLog([line]);
  }

  // Lines are added in batches, at most ten times a second.
  function appendLog(lines) {
    log.pending.push(...lines);
    if (log.pending.length > LOG_LINES) log.pending.splice(0, log.pending.length - LOG_LINES);
    if (!log.timer) log.timer = setTimeout(flushLog, 100);
  }

  function flushLog() {
    log.timer = null;
    const box = $('log');
    const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - 8;
    const fragment = document.createDocumentFragment();
    for (const line of log.pending) {
      const div = document.createElement('div');
      div.textContent = line;
      fragment.appendChild(div);
    }
    log.pending = [];
    box.appendChild(fragment);
    let extra = box.childElementCount - LOG_LINES;
    while (extra-- > 0) box.firstElementChild.remove();
    if (atBottom) box.scrollTop = box.scrollHeight;  // follow the tail unless the operator scrolled up
  }

  function replaceLog(lines) {
    clearTimeout(log.timer);
    log.timer = null;
    log.pending = [];
    const box = $('log');
    box.replaceChildren();
    appendLog(lines);
    flushLog();
    box.scrollTop = box.scrollHeight;
  }

  // The largest k such that the last k lines of `a` are the first k of `b`.
  function overlap(a, b) {
    for (let k = Math.min(a.length, b.length); k > 0; k--) {
      let same = true;
      for (let i = 0; i < k && same; i++) same = a[a.length - k + i] === b[i];
      if (same) return k;
    }
    return 0;
  }

  // The newest lines from /v1/log, then what the stream brought meanwhile
  // (less what the tail already holds).
  async function seedLog() {
    if (log.seeding) return;
    log.seeding = true;
    log.buffered = [];
    let lines = null;
    try {
      const res = await request('GET', '/v1/log?lines=' + LOG_LINES);
      if (res.ok) {
        const body = await readJson(res);
        if (Array.isArray(body)) lines = body.map(String);
      }
    } catch (e) {
      // the stream's lines are still shown
    }
    const buffered = log.buffered;
    log.seeding = false;
    log.buffered = [];
    if (lines) replaceLog(lines.concat(buffered.slice(overlap(lines, buffered))));
    else appendLog(buffered);
  }

  // ---- wiring -----------------------------------------------------------

  function init() {
    lang = storageGet(localStorage, LANG_KEY) === 'en' ? 'en' : 'zh';
    token = storageGet(sessionStorage, TOKEN_KEY) || '';
    applyLang();

    $('lang-switch').addEventListener('click', () => {
      lang = lang === 'en' ? 'zh' : 'en';
      storageSet(localStorage, LANG_KEY, lang);
      applyLang();
    });
    $('token-form').addEventListener('submit', onTokenSubmit);

    $('btn-start-listen').addEventListener('click', (e) => serverAction(e.currentTarget, 'POST', '/v1/server/listen'));
    $('btn-stop-listen').addEventListener('click', (e) => serverAction(e.currentTarget, 'DELETE', '/v1/server/listen'));
    $('btn-close-all').addEventListener('click',
      (e) => serverAction(e.currentTarget, 'POST', '/v1/server/close-all', 'confirmCloseAll'));
    $('btn-cancel-recv').addEventListener('click',
      (e) => serverAction(e.currentTarget, 'POST', '/v1/transfers/cancel'));

    $('sn-filter').addEventListener('input', () => {
      list.offset = 0;
      scheduleList();
    });
    $('scope').addEventListener('change', () => {
      list.offset = 0;
      $('device-table').classList.toggle('cluster', $('scope').value === 'cluster');
      scheduleList();
    });
    $('page-prev').addEventListener('click', () => {
      list.offset = Math.max(0, list.offset - PAGE_SIZE);
      scheduleList();
    });
    $('page-next').addEventListener('click', () => {
      if (list.offset + PAGE_SIZE < list.total) list.offset += PAGE_SIZE;
      scheduleList();
    });
    $('log-clear').addEventListener('click', () => {
      clearTimeout(log.timer);
      log.timer = null;
      log.pending = [];
      $('log').replaceChildren();
      $('log-note').textContent = '';
    });

    setInterval(() => {
      if (running && !document.hidden) scheduleList();
    }, LIST_REFRESH_MS);
    setInterval(() => {
      if (running) drawChart();  // the time axis moves on even when the count does not
    }, 10000);

    drawChart();
    showRange();
    tryStart();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', init);
  else init();
})();
