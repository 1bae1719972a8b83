'use strict';
// The page of `brindle serve`. Keys are named by arrays of their names; every call goes to
// the JSON API, and changing calls carry the header the server asks of them.

const PAGE = 200;
const $ = (id) => document.getElementById(id);
// The tree's nodes by key; which keys are open and their filters outlive the nodes, so that a
// level read again (after a change) comes back as the user left it.
const state = { selected: null, readOnly: false, nodes: new Map(), open: new Set(), filters: new Map() };

// Names may be bytes that are not UTF-8; the API then gives {"base64": ...}.
function nameText(name) { return typeof name === 'string' ? name : '\u00ab' + name.base64 + '\u00bb'; }
function keyId(names) { return JSON.stringify(names); }
function keyParam(names) { return 'key=' + encodeURIComponent(JSON.stringify(names)); }

async function call(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST',
    headers: { 'X-Brindle-Request': '1' },
    body: body instanceof Blob ? body : JSON.stringify(body),
  };
  const response = await fetch(path, options);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(data.message || response.statusText);
    error.status = response.status;
    throw error;
  }
  return data;
}

function say(text, isError) {
  const message = $('message');
  message.textContent = text;
  message.className = isError ? 'error' : '';
}

// Runs an action, showing its failure, or `done` when given. Background refreshes give no
// `done`, so they never wipe a message the user has yet to read.
async function attempt(action, done) {
  try {
    await action();
    if (done !== undefined) say(done, false);
    return true;
  } catch (error) {
    say(error.message, true);
    return false;
  }
}

// ---- The tree: each key's children are loaded when it opens, a page at a time.

function treeItem(names, info) {
  const item = document.createElement('li');
  item.setAttribute('role', 'treeitem');
  item.setAttribute('aria-expanded', 'false');
  const row = document.createElement('div');
  row.className = 'node';
  const toggle = document.createElement('button');
  toggle.className = 'toggle';
  toggle.type = 'button';
  toggle.textContent = '\u25b8';
  toggle.setAttribute('aria-label', 'Open ' + nameText(names[names.length - 1]));
  const key = document.createElement('button');
  key.className = 'key';
  key.type = 'button';
  key.textContent = nameText(names[names.length - 1]);
  key.dataset.key = keyId(names);
  row.append(toggle, key);
  if (info && info.hidden) row.append(flag('hidden'));
  if (info && info.readonly) row.append(flag('read-only'));
  const group = document.createElement('ul');
  group.setAttribute('role', 'group');
  group.hidden = true;
  item.append(row, group);
  const node = { names, item, group, toggle, key, open: false, info: info || {},
    filter: state.filters.get(keyId(names)) || '' };
  if (keyId(names) === keyId(state.selected || [])) key.setAttribute('aria-selected', 'true');
  state.nodes.set(keyId(names), node);
  toggle.addEventListener('click', () => setOpen(node, !node.open));
  key.addEventListener('click', () => select(node));
  return item;
}

function flag(text) {
  const span = document.createElement('span');
  span.className = 'flag';
  span.textContent = text;
  return span;
}

async function setOpen(node, open) {
  node.open = open;
  if (open) state.open.add(keyId(node.names)); else state.open.delete(keyId(node.names));
  node.toggle.textContent = open ? '\u25be' : '\u25b8';
  node.item.setAttribute('aria-expanded', String(open));
  node.group.hidden = !open;
  if (open) await loadChildren(node);
}

async function loadChildren(node, offset = 0) {
  const query = keyParam(node.names) + '&offset=' + offset + '&limit=' + PAGE +
    '&filter=' + encodeURIComponent(node.filter);
  const listing = await call('/api/keys?' + query);
  if (offset === 0) {
    for (const child of node.group.querySelectorAll('button.key')) state.nodes.delete(child.dataset.key);
    node.group.replaceChildren();
  }
  node.group.querySelector('.more')?.remove();
  const items = listing.keys.map((child) => treeItem(node.names.concat([child.name]), child));
  node.group.append(...items);
  await reopen(items);
  const shown = offset + listing.keys.length;
  if (shown < listing.total) {
    const more = document.createElement('button');
    more.type = 'button';
    more.className = 'more';
    more.textContent = 'Show more (' + (listing.total - shown) + ' left)';
    more.addEventListener('click', () => loadChildren(node, shown));
    node.group.append(more);
  }
}

async function loadRoot() {
  const listing = await call('/api/keys?' + keyParam([]) + '&limit=' + PAGE);
  state.nodes.clear();
  const items = listing.keys.map((key) => treeItem([key.name], key));
  $('tree').replaceChildren(...items);
  await reopen(items);
}

// Opens again the keys among `items` that were open when their level was last drawn.
async function reopen(items) {
  for (const item of items) {
    const node = state.nodes.get(item.querySelector('button.key').dataset.key);
    if (node && state.open.has(keyId(node.names))) await setOpen(node, true);
  }
}

// ---- The selected key: its flags, properties and forms.

async function select(node) {
  for (const key of document.querySelectorAll('.key[aria-selected=true]')) key.removeAttribute('aria-selected');
  node.key.setAttribute('aria-selected', 'true');
  state.selected = node.names;
  $('filter').value = node.filter;
  $('rename-name').value = nameText(node.names[node.names.length - 1]);
  $('export-link').href = '/api/export?' + keyParam(node.names);
  $('dump-link').href = '/api/dump?' + keyParam(node.names);
  say('', false);
  await attempt(showProperties);
  if (!node.open) await attempt(() => setOpen(node, true));
}

function formatValue(property) {
  const text = nameText(property.text);
  if (property.type === 'binary') {
    const hex = property.hex.replace(/(..)/g, '$1 ').trim();
    return hex + (property.size * 2 > property.hex.length ? ' \u2026' : '') + ' (' + property.size + ' bytes)';
  }
  if (property.type === 'datetime') return text + ' (UTC)';
  return text;
}

async function showProperties() {
  const names = state.selected;
  let view;
  try {
    view = await call('/api/props?' + keyParam(names));
  } catch (error) {
    if (error.status === 404) {
      $('key-view').hidden = true;
      $('nothing').hidden = false;
      $('nothing').textContent = 'The key ' + names.map(nameText).join('/') + ' is gone.';
      state.selected = null;
      return;
    }
    throw error;
  }
  if (keyId(names) !== keyId(state.selected || [])) return;
  $('nothing').hidden = true;
  $('key-view').hidden = false;
  $('key-title').textContent = names.map(nameText).join(' / ');
  const main = state.nodes.get(keyId(names.slice(0, 1)));
  const flags = [];
  if (main && main.info.hidden) flags.push('main key hidden');
  if (view.main_readonly) flags.push('main key read-only: no editing');
  $('key-flags').textContent = flags.join(' \u00b7 ');
  $('key-view').classList.toggle('read-only', view.readonly);
  const rows = view.properties.map((property) => propertyRow(property, view.readonly));
  $('properties').tBodies[0].replaceChildren(...rows);
}

function propertyRow(property, readOnly) {
  const row = document.createElement('tr');
  const cells = [nameText(property.name), property.type, formatValue(property)];
  ['name', 'type', 'value'].forEach((kind, i) => {
    const cell = document.createElement('td');
    cell.className = kind;
    cell.textContent = cells[i];
    row.append(cell);
  });
  const actions = document.createElement('td');
  if (!readOnly) {
    const edit = button('Edit', () => {
      $('prop-name').value = nameText(property.name);
      $('prop-type').value = property.type;
      $('prop-value').value = property.type === 'binary' ? nameText(property.text) : nameText(property.text);
      $('prop-value').focus();
    });
    edit.setAttribute('aria-label', 'Edit ' + nameText(property.name));
    const remove = button('Delete', () => attempt(async () => {
      await call('/api/unset', { key: state.selected, name: property.name });
      await showProperties();
    }, 'Deleted property ' + nameText(property.name)));
    remove.setAttribute('aria-label', 'Delete ' + nameText(property.name));
    remove.className = 'danger';
    actions.append(edit, ' ', remove);
  }
  row.append(actions);
  return row;
}

function button(text, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

async function refreshNode(names) {
  const node = state.nodes.get(keyId(names));
  if (names.length === 0) return loadRoot();
  if (node && node.open) await loadChildren(node);
}

// ---- Forms.

function onSubmit(id, handler) {
  $(id).addEventListener('submit', (event) => {
    event.preventDefault();
    handler();
  });
}

onSubmit('property-form', () => attempt(async () => {
  await call('/api/set', {
    key: state.selected, name: $('prop-name').value, type: $('prop-type').value, value: $('prop-value').value,
  });
  await showProperties();
}, 'Saved property ' + $('prop-name').value));

onSubmit('child-form', () => attempt(async () => {
  const parent = state.selected;
  await call('/api/mkkey', { key: parent, name: $('child-name').value });
  $('child-name').value = '';
  const node = state.nodes.get(keyId(parent));
  if (node) await setOpen(node, true);
}, 'Key added'));

onSubmit('new-main-key', () => attempt(async () => {
  await call('/api/mkkey', { key: [], name: $('new-main-key-name').value });
  $('new-main-key-name').value = '';
  await loadRoot();
}, 'Main key added'));

onSubmit('rename-form', () => attempt(async () => {
  const names = state.selected;
  const newName = $('rename-name').value;
  await call('/api/mvkey', { key: names, name: newName });
  await refreshNode(names.slice(0, -1));
  const renamed = state.nodes.get(keyId(names.slice(0, -1).concat([newName])));
  if (renamed) await select(renamed);
}, 'Key renamed'));

onSubmit('import-form', () => attempt(async () => {
  const file = $('import-file').files[0];
  await call('/api/import', file);
  await loadRoot();
}, 'Imported'));

$('delete-key').addEventListener('click', () => attempt(async () => {
  const names = state.selected;
  const size = await call('/api/measure?' + keyParam(names));
  $('confirm-text').textContent = 'Delete ' + names.map(nameText).join('/') + '? ' +
    size.keys + (size.keys === 1 ? ' key' : ' keys') + ' and ' + size.properties +
    (size.properties === 1 ? ' property' : ' properties') + ' will go.';
  const dialog = $('confirm');
  dialog.returnValue = '';
  dialog.showModal();
  dialog.addEventListener('close', () => attempt(async () => {
    if (dialog.returnValue !== 'delete') return;
    await call('/api/rmkey', { key: names });
    state.selected = null;
    $('key-view').hidden = true;
    $('nothing').hidden = false;
    $('nothing').textContent = 'Deleted ' + names.map(nameText).join('/') + '.';
    await refreshNode(names.slice(0, -1));
  }), { once: true });
}));

let filterTimer = 0;
$('filter').addEventListener('input', () => {
  clearTimeout(filterTimer);
  filterTimer = setTimeout(async () => {
    const node = state.selected && state.nodes.get(keyId(state.selected));
    if (!node) return;
    node.filter = $('filter').value;
    state.filters.set(keyId(node.names), node.filter);
    await attempt(() => setOpen(node, true));
  }, 200);
});

// ---- Live updates: changes by any process arrive as server-sent events. The open key is
// read again (its table only: the forms keep what the user is typing), and so are the open
// tree nodes the change touches.

let pending = new Set();
let liveTimer = 0;
function onChange(change) {
  if (change.kind === 'resync' || !change.key) {
    pending.add('*');
  } else {
    pending.add(keyId(change.key));
    // Adding, deleting and renaming a key change its parent's list of children.
    if (change.kind.startsWith('key-')) pending.add(keyId(change.key.slice(0, -1)));
  }
  clearTimeout(liveTimer);
  liveTimer = setTimeout(applyChanges, 100);
}

async function applyChanges() {
  const touched = pending;
  pending = new Set();
  for (const id of touched) {
    if (id === '*' || id === keyId([])) {
      await attempt(loadRoot);
      continue;
    }
    const node = state.nodes.get(id);
    if (node && node.open) await attempt(() => loadChildren(node));
  }
  if (state.selected && (touched.has('*') || touched.has(keyId(state.selected)))) {
    await attempt(showProperties);
  }
}

function listen() {
  const events = new EventSource('/api/events');
  events.onopen = () => $('live').classList.add('on');
  events.onerror = () => $('live').classList.remove('on');
  events.onmessage = (event) => onChange(JSON.parse(event.data));
}

async function start() {
  const info = await call('/api/info');
  $('database').textContent = info.database;
  state.readOnly = info.readonly;
  document.body.classList.toggle('read-only', info.readonly);
  $('server-mode').hidden = !info.readonly;
  $('prop-type').replaceChildren(...info.types.map((type) => new Option(type, type, type === 'string', type === 'string')));
  await loadRoot();
  listen();
}

start().catch((error) => say(error.message, true));
