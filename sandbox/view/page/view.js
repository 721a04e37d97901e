// kivsandbox's live view: one request for the world list, then one event
// stream per chosen world (no polling). Every string that comes from the
// worlds is written with textContent or drawn with fillText, never parsed
// as markup.
'use strict';

(() => {
  const TRAIL_MS = 5000;       // how long a trail shows where an avatar was
  const CHAT_LINES = 300;      // lines the chat panel keeps
  const DRAW_SAMPLES = 60;     // frames the draw time is averaged over
  const LABEL_LIMIT = 400;     // beyond this many, names only when zoomed in
  const TRAIL_POINTS = 64;     // points a trail keeps at most
  const DEGREES = Math.PI / 180;

  const $ = (id) => document.getElementById(id);
  const canvas = $('map');
  const context = canvas.getContext('2d');

  const view = {
    worldName: null,
    cellSize: 10,
    avatars: new Map(),        // session -> avatar
    objects: [],
    cells: [],
    terrain: [],
    terrainVersion: 0,         // counts terrain changes (the ground is redrawn)
    terrainLow: 0,             // the terrain's lowest and highest heights
    terrainHigh: 0,
    trails: new Map(),         // session -> [{x, z, t}]
    avatarMarkers: new Map(),  // session -> {element, name, x, z, yaw}
    centerX: 0,
    centerZ: 0,
    scale: 6,                  // pixels per world unit
    fitted: false,
    follow: null,              // session followed, or null
    source: null,
    pending: false,
    trailTimer: null,
    groundKey: '',             // the view the ground was last drawn for
    groundCached: false,       // whether the ground canvas holds it
    drawTimes: [],
    updateTimes: [],
    frames: 0,
  };

  // The grid and the terrain change only with the view and the terrain, so
  // they are drawn once into this canvas and copied while the view stays.
  const ground = document.createElement('canvas');
  const groundContext = ground.getContext('2d');

  function make(tag, className, text) {
    const element = document.createElement(tag);
    if (className) element.className = className;
    if (text !== undefined) element.textContent = text;
    return element;
  }

  // Writes only what changed: a text written again costs a layout for nothing.
  function setText(id, text) {
    const element = $(id);
    if (element.textContent !== text) element.textContent = text;
  }

  // Mean and worst of the last DRAW_SAMPLES times, onto <body> as
  // data-NAME-ms and data-NAME-ms-max.
  function record(times, took, name) {
    times.push(took);
    if (times.length > DRAW_SAMPLES) times.shift();
    let sum = 0, worst = 0;
    for (const time of times) {
      sum += time;
      if (time > worst) worst = time;
    }
    const mean = sum / times.length;
    document.body.dataset[name + 'Ms'] = mean.toFixed(2);
    document.body.dataset[name + 'MsMax'] = worst.toFixed(2);
    return mean;
  }

  // Runs what an event brings (parsing included) and counts its time as
  // the page's update time: it shares the frame with the drawing.
  function timed(work) {
    const started = performance.now();
    work();
    record(view.updateTimes, performance.now() - started, 'update');
  }

  function setStatus(text, trouble) {
    const status = $('status');
    status.textContent = text;
    status.classList.toggle('trouble', !!trouble);
  }

  // ---- Worlds and users --------------------------------------------------

  function showWorlds(worlds) {
    const list = $('worlds');
    list.replaceChildren();
    for (const world of worlds) {
      const item = make('li');
      item.dataset.world = world.name;
      const button = make('button', 'world', world.name + ' (' + world.users.length + ')');
      button.type = 'button';
      if (world.name === view.worldName) button.classList.add('chosen');
      button.addEventListener('click', () => openWorld(world.name));
      item.append(button);
      const users = make('ul', 'users');
      for (const name of world.users) {
        const user = make('li', null, name);
        user.dataset.name = name;
        user.title = 'follow ' + name;
        user.addEventListener('click', () => followByName(world.name, name));
        users.append(user);
      }
      item.append(users);
      list.append(item);
    }
  }

  function followByName(worldName, name) {
    if (worldName !== view.worldName) {
      openWorld(worldName);
      view.followName = name;
      return;
    }
    for (const avatar of view.avatars.values()) {
      if (avatar.name === name) setFollow(avatar.session);
    }
  }

  function setFollow(session) {
    view.follow = session;
    $('follow').value = session === null ? '' : String(session);
    recenter();
    schedule();
  }

  // ---- The event stream ---------------------------------------------------

  function openWorld(name) {
    if (view.source) view.source.close();
    view.worldName = name;
    view.avatars = new Map();
    view.objects = [];
    view.cells = [];
    view.terrain = [];
    view.trails = new Map();
    view.avatarMarkers = new Map();
    view.fitted = false;
    view.follow = null;
    $('chat').replaceChildren();
    $('markers').replaceChildren();
    $('world-title').textContent = name;
    for (const button of document.querySelectorAll('#worlds .world')) {
      button.classList.toggle('chosen', button.parentElement.dataset.world === name);
    }
    history.replaceState(null, '', '#' + encodeURIComponent(name));
    const source = new EventSource('/api/worlds/' + encodeURIComponent(name) + '/events');
    view.source = source;
    source.onopen = () => setStatus('live');
    source.onerror = () => setStatus('reconnecting…', true);
    source.addEventListener('worlds', (event) => showWorlds(JSON.parse(event.data).worlds));
    source.addEventListener('world', (event) => timed(() => onWorld(JSON.parse(event.data))));
    source.addEventListener('avatars', (event) => timed(() => onAvatars(JSON.parse(event.data).avatars)));
    source.addEventListener('chat', (event) => onChat(JSON.parse(event.data)));
    source.addEventListener('stats', (event) => onStats(JSON.parse(event.data)));
    source.addEventListener('gone', () => {
      source.close();
      setStatus('this world is gone', true);
    });
  }

  function onWorld(world) {
    view.cellSize = world.cell_size > 0 ? world.cell_size : 10;
    view.objects = world.objects;
    view.cells = world.cells;
    view.terrain = world.terrain;
    let low = Infinity, high = -Infinity;
    for (const node of view.terrain) {
      for (const height of node.heights) {
        if (height === null) continue;
        if (height < low) low = height;
        if (height > high) high = height;
      }
    }
    view.terrainLow = low;
    view.terrainHigh = high;
    view.terrainVersion += 1;
    onAvatars(world.avatars);
    showObjectMarkers();
    setText('object-count', String(view.objects.length));
    if (!view.fitted) fit();
    schedule();
  }

  function onAvatars(list) {
    const now = performance.now();
    const avatars = new Map();
    let roster = false;  // whether anyone came, went or changed name
    for (const avatar of list) {
      if (!avatar.visible) continue;  // no position yet
      avatars.set(avatar.session, avatar);
      const before = view.avatars.get(avatar.session);
      if (!before || before.name !== avatar.name) roster = true;
      let trail = view.trails.get(avatar.session);
      if (!trail) {
        trail = [];
        view.trails.set(avatar.session, trail);
      }
      const last = trail[trail.length - 1];
      if (!last || last.x !== avatar.x || last.z !== avatar.z) {
        trail.push({ x: avatar.x, z: avatar.z, t: now });
        if (trail.length > TRAIL_POINTS) trail.shift();
      }
    }
    if (avatars.size !== view.avatars.size) roster = true;
    if (roster) {
      for (const session of view.trails.keys()) {
        if (!avatars.has(session)) view.trails.delete(session);
      }
    }
    view.avatars = avatars;
    if (view.followName) {
      for (const avatar of avatars.values()) {
        if (avatar.name === view.followName) view.follow = avatar.session;
      }
      view.followName = null;
    }
    if (view.follow !== null && !avatars.has(view.follow)) view.follow = null;
    showAvatarMarkers(roster);
    showFollowChoices(roster);
    setText('avatar-count', String(avatars.size));
    recenter();
    schedule();
  }

  function onChat(line) {
    const chat = $('chat');
    const item = make('li', line.console ? 'console' : 'chat');
    item.dataset.session = String(line.session);
    item.append(make('span', 'who', line.name), make('span', 'text', line.text));
    const atBottom = chat.scrollTop + chat.clientHeight >= chat.scrollHeight - 4;
    chat.append(item);
    while (chat.childElementCount > CHAT_LINES) chat.firstElementChild.remove();
    if (atBottom) chat.scrollTop = chat.scrollHeight;
  }

  function onStats(stats) {
    setText('clients', String(stats.clients));
    setText('frames-in', (stats.frames_in_per_s || 0).toFixed(0));
    setText('frames-out', (stats.frames_out_per_s || 0).toFixed(0));
  }

  // ---- Markers: what was drawn, readable by tools -------------------------

  // Only what changed is written: with a thousand avatars most stand still
  // between two events, and every attribute written is work for the page.
  function showAvatarMarkers(roster) {
    if (roster) {
      for (const [session, entry] of view.avatarMarkers) {
        if (!view.avatars.has(session)) {
          entry.element.remove();
          view.avatarMarkers.delete(session);
        }
      }
    }
    let added = null;
    for (const avatar of view.avatars.values()) {
      let entry = view.avatarMarkers.get(avatar.session);
      if (!entry) {
        const element = make('div', 'avatar-marker');
        element.dataset.session = String(avatar.session);
        if (!added) added = document.createDocumentFragment();
        added.append(element);
        entry = { element, name: null, x: NaN, z: NaN, yaw: NaN };
        view.avatarMarkers.set(avatar.session, entry);
      }
      const element = entry.element;
      if (entry.name !== avatar.name) {
        entry.name = avatar.name;
        element.dataset.name = avatar.name;
        element.textContent = avatar.name;
      }
      if (entry.x !== avatar.x) {
        entry.x = avatar.x;
        element.dataset.x = String(avatar.x);
      }
      if (entry.z !== avatar.z) {
        entry.z = avatar.z;
        element.dataset.z = String(avatar.z);
      }
      if (entry.yaw !== avatar.yaw) {
        entry.yaw = avatar.yaw;
        element.dataset.yaw = String(avatar.yaw);
      }
    }
    if (added) $('markers').append(added);
  }

  function showObjectMarkers() {
    const markers = $('markers');
    for (const marker of [...markers.querySelectorAll('.object-marker')]) marker.remove();
    const fragment = document.createDocumentFragment();
    for (const object of view.objects) {
      const marker = make('div', 'object-marker', object.model);
      marker.dataset.id = String(object.id);
      marker.dataset.model = object.model;
      marker.dataset.owner = object.owner_name;
      marker.dataset.x = String(object.x);
      marker.dataset.z = String(object.z);
      fragment.append(marker);
    }
    markers.append(fragment);
  }

  function showFollowChoices(roster) {
    const select = $('follow');
    const value = view.follow === null ? '' : String(view.follow);
    if (!roster) {
      if (select.value !== value) select.value = value;
      return;
    }
    const names = [...view.avatars.values()]
      .map((avatar) => [avatar.name, avatar.session])
      .sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] - b[1]));
    const wanted = ['', ...names.map((entry) => String(entry[1]))].join(',');
    if (select.dataset.choices !== wanted) {
      select.replaceChildren(make('option', null, 'nobody'));
      select.firstElementChild.value = '';
      for (const [name, session] of names) {
        const option = make('option', null, name);
        option.value = String(session);
        select.append(option);
      }
      select.dataset.choices = wanted;
    }
    if (select.value !== value) select.value = value;
  }

  // ---- Panning, zooming, following ----------------------------------------

  function recenter() {
    if (view.follow === null) return;
    const avatar = view.avatars.get(view.follow);
    if (!avatar) return;
    view.centerX = avatar.x;
    view.centerZ = avatar.z;
  }

  // Everything in sight: avatars, objects and terrain.
  function fit() {
    // Loops, not Math.min(...list): a long list overflows the call's stack.
    let minX = Infinity, maxX = -Infinity, minZ = Infinity, maxZ = -Infinity;
    const take = (thing) => {
      if (thing.x < minX) minX = thing.x;
      if (thing.x > maxX) maxX = thing.x;
      if (thing.z < minZ) minZ = thing.z;
      if (thing.z > maxZ) maxZ = thing.z;
    };
    for (const avatar of view.avatars.values()) take(avatar);
    for (const object of view.objects) take(object);
    if (minX === Infinity) {
      minX = maxX = minZ = maxZ = 0;
    } else {
      view.fitted = true;
    }
    view.centerX = (minX + maxX) / 2;
    view.centerZ = (minZ + maxZ) / 2;
    const span = Math.max(maxX - minX, maxZ - minZ, 4 * view.cellSize);
    const size = Math.min(canvas.clientWidth, canvas.clientHeight) || 400;
    view.scale = Math.max(0.02, Math.min(80, (size * 0.8) / span));
    schedule();
  }

  function zoom(factor, atX, atY) {
    const before = toWorld(atX, atY);
    view.scale = Math.max(0.02, Math.min(200, view.scale * factor));
    if (view.follow === null) {
      const after = toWorld(atX, atY);
      view.centerX += before.x - after.x;
      view.centerZ += before.z - after.z;
    }
    schedule();
  }

  function toScreen(x, z) {
    return {
      x: (x - view.centerX) * view.scale + canvas.clientWidth / 2,
      y: (z - view.centerZ) * view.scale + canvas.clientHeight / 2,
    };
  }

  function toWorld(px, py) {
    return {
      x: (px - canvas.clientWidth / 2) / view.scale + view.centerX,
      z: (py - canvas.clientHeight / 2) / view.scale + view.centerZ,
    };
  }

  let drag = null;
  canvas.addEventListener('pointerdown', (event) => {
    drag = { x: event.clientX, y: event.clientY };
    canvas.setPointerCapture(event.pointerId);
    canvas.classList.add('dragging');
  });
  canvas.addEventListener('pointermove', (event) => {
    if (drag) {
      if (view.follow !== null) setFollow(null);
      view.centerX -= (event.clientX - drag.x) / view.scale;
      view.centerZ -= (event.clientY - drag.y) / view.scale;
      drag = { x: event.clientX, y: event.clientY };
      schedule();
    } else {
      hover(event);
    }
  });
  const endDrag = () => {
    drag = null;
    canvas.classList.remove('dragging');
  };
  canvas.addEventListener('pointerup', endDrag);
  canvas.addEventListener('pointercancel', endDrag);
  canvas.addEventListener('pointerleave', () => { $('tooltip').hidden = true; });
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    const box = canvas.getBoundingClientRect();
    zoom(Math.exp(-event.deltaY * 0.0015), event.clientX - box.left, event.clientY - box.top);
  }, { passive: false });
  $('zoom-in').addEventListener('click', () => zoom(1.5, canvas.clientWidth / 2, canvas.clientHeight / 2));
  $('zoom-out').addEventListener('click', () => zoom(1 / 1.5, canvas.clientWidth / 2, canvas.clientHeight / 2));
  $('home').addEventListener('click', () => { setFollow(null); fit(); });
  $('follow').addEventListener('change', (event) => {
    setFollow(event.target.value === '' ? null : Number(event.target.value));
  });
  window.addEventListener('resize', schedule);

  // The object or avatar under the pointer, as a tooltip.
  function hover(event) {
    const box = canvas.getBoundingClientRect();
    const px = event.clientX - box.left;
    const py = event.clientY - box.top;
    let best = null;
    let bestDistance = 10;
    for (const avatar of view.avatars.values()) {
      const at = toScreen(avatar.x, avatar.z);
      const distance = Math.hypot(at.x - px, at.y - py);
      if (distance < bestDistance) {
        bestDistance = distance;
        best = avatar.name + '\nsession ' + avatar.session;
      }
    }
    for (const object of view.objects) {
      const at = toScreen(object.x, object.z);
      const distance = Math.hypot(at.x - px, at.y - py);
      if (distance < bestDistance) {
        bestDistance = distance;
        best = object.model + '\nowner ' + (object.owner_name || 'user ' + object.owner) +
               '\nobject ' + object.id;
      }
    }
    const tooltip = $('tooltip');
    if (best === null) {
      tooltip.hidden = true;
      return;
    }
    tooltip.textContent = best;
    tooltip.style.left = (px + 12) + 'px';
    tooltip.style.top = (py + 12) + 'px';
    tooltip.hidden = false;
  }

  // ---- Drawing --------------------------------------------------------------

  function schedule() {
    if (view.pending) return;
    view.pending = true;
    requestAnimationFrame(draw);
  }

  // Where world (0, 0) lands on the canvas, for the drawing now under way:
  // a point (x, z) is drawn at (x * scale + originX, z * scale + originY).
  let originX = 0;
  let originY = 0;

  function drawTerrain(target, width, height) {
    if (view.terrain.length === 0) return;
    // A terrain cell is drawn one world cell wide; a node is 8 x 8 cells,
    // a tile 4 x 4 nodes.
    const side = view.cellSize;
    const scale = view.scale;
    const pixels = side * scale;
    const cell = Math.ceil(pixels);
    const low = view.terrainLow;
    const range = view.terrainHigh - low || 1;
    for (const node of view.terrain) {
      const cornerX = (node.tile_x * 32 + node.node_x * 8) * side * scale + originX;
      const cornerY = (node.tile_z * 32 + node.node_z * 8) * side * scale + originY;
      if (cornerX > width || cornerY > height ||
          cornerX + 8 * pixels < 0 || cornerY + 8 * pixels < 0) continue;
      for (let i = 0; i < 64; ++i) {
        const h = node.heights[i];
        if (h === null) continue;
        const level = (h - low) / range;  // 0 low .. 1 high
        const shade = Math.round(200 - 120 * level);
        target.fillStyle = 'rgb(' + (shade - 30) + ',' + shade + ',' + (shade - 50) + ')';
        target.fillRect(cornerX + (i % 8) * pixels, cornerY + Math.floor(i / 8) * pixels,
                        cell, cell);
      }
    }
  }

  function drawGrid(target, width, height) {
    const side = view.cellSize;
    const scale = view.scale;
    const pixels = side * scale;
    if (pixels >= 6) {  // denser, it would mean nothing
      target.strokeStyle = 'rgba(40, 60, 40, 0.18)';
      target.lineWidth = 1;
      target.beginPath();
      const left = -originX / scale, right = (width - originX) / scale;
      const top = -originY / scale, bottom = (height - originY) / scale;
      for (let x = Math.floor(left / side) * side; x <= right; x += side) {
        const px = Math.round(x * scale + originX) + 0.5;
        target.moveTo(px, 0);
        target.lineTo(px, height);
      }
      for (let z = Math.floor(top / side) * side; z <= bottom; z += side) {
        const py = Math.round(z * scale + originY) + 0.5;
        target.moveTo(0, py);
        target.lineTo(width, py);
      }
      target.stroke();
    }
    // The axes through the origin.
    target.strokeStyle = 'rgba(40, 60, 40, 0.45)';
    target.lineWidth = 1;
    target.beginPath();
    target.moveTo(originX, 0);
    target.lineTo(originX, height);
    target.moveTo(0, originY);
    target.lineTo(width, originY);
    target.stroke();
  }

  // The terrain and the grid. While the view moves (a drag, a zoom, an
  // avatar followed) they are drawn straight onto the map; once it has
  // stayed for a frame they are kept in `ground` and copied from there.
  function drawGround(ratio, width, height) {
    const key = canvas.width + ' ' + canvas.height + ' ' + ratio + ' ' + view.centerX + ' ' +
                view.centerZ + ' ' + view.scale + ' ' + view.cellSize + ' ' + view.terrainVersion;
    if (key !== view.groundKey) {
      view.groundKey = key;
      view.groundCached = false;
      context.clearRect(0, 0, width, height);
      drawTerrain(context, width, height);
      drawGrid(context, width, height);
      return;
    }
    if (!view.groundCached) {
      if (ground.width !== canvas.width || ground.height !== canvas.height) {
        ground.width = canvas.width;
        ground.height = canvas.height;
      }
      groundContext.setTransform(ratio, 0, 0, ratio, 0, 0);
      groundContext.clearRect(0, 0, width, height);
      drawTerrain(groundContext, width, height);
      drawGrid(groundContext, width, height);
      view.groundCached = true;
    }
    context.setTransform(1, 0, 0, 1, 0, 0);
    context.globalCompositeOperation = 'copy';  // replaces the last frame: no clearing
    context.drawImage(ground, 0, 0);
    context.globalCompositeOperation = 'source-over';
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
  }

  function drawObjects(width, height) {
    const scale = view.scale;
    const labels = view.objects.length <= LABEL_LIMIT || scale >= 4;
    context.font = '11px system-ui, sans-serif';
    context.textBaseline = 'top';
    context.strokeStyle = '#fff';
    context.lineWidth = 1;
    for (const object of view.objects) {
      const x = object.x * scale + originX;
      const y = object.z * scale + originY;
      if (x < -50 || y < -50 || x > width + 50 || y > height + 50) continue;
      context.fillStyle = '#8a5a2b';
      context.fillRect(x - 4, y - 4, 8, 8);
      context.strokeRect(x - 4.5, y - 4.5, 9, 9);
      if (labels) {
        context.fillStyle = '#5a3510';
        context.fillText(object.model, x + 7, y + 3);
      }
    }
  }

  // Drops what is older than TRAIL_MS; tells whether any trail is left to draw.
  function ageTrails(now) {
    let left = false;
    for (const trail of view.trails.values()) {
      let old = 0;
      while (old < trail.length - 1 && now - trail[old].t > TRAIL_MS) ++old;
      if (old > 0) trail.splice(0, old);
      if (trail.length > 1) left = true;
    }
    return left;
  }

  function drawTrails() {
    const scale = view.scale;
    context.lineWidth = 2;
    context.strokeStyle = 'rgba(47, 111, 206, 0.35)';
    context.beginPath();
    for (const trail of view.trails.values()) {
      if (trail.length < 2) continue;
      let point = trail[0];
      context.moveTo(point.x * scale + originX, point.z * scale + originY);
      for (let i = 1; i < trail.length; ++i) {
        point = trail[i];
        context.lineTo(point.x * scale + originX, point.z * scale + originY);
      }
    }
    context.stroke();
  }

  // An avatar's arrow: ARROW pixels from its place to its tip.
  const ARROW = 9;
  const TIP = ARROW, BACK = -ARROW * 0.7, WING = ARROW * 0.6, NOTCH = -ARROW * 0.35;

  function arrowPath(target, x, y, yaw) {
    // Yaw in degrees: 0 faces +x, 90 faces +z (down the map).
    const angle = (yaw || 0) * DEGREES;
    const cos = Math.cos(angle), sin = Math.sin(angle);
    target.moveTo(x + TIP * cos, y + TIP * sin);
    target.lineTo(x + BACK * cos - WING * sin, y + BACK * sin + WING * cos);
    target.lineTo(x + NOTCH * cos, y + NOTCH * sin);
    target.lineTo(x + BACK * cos + WING * sin, y + BACK * sin - WING * cos);
    target.closePath();
  }

  // A crowd's arrows (no outlines) are copied from this sheet, drawn once
  // with one arrow per whole degree: a thousand small copies cost the
  // browser a quarter of filling a thousand arrows as paths.
  const SHEET_CELL = 24;     // CSS pixels per arrow on the sheet
  const SHEET_COLUMNS = 20;  // 360 arrows in 18 rows
  const sheet = document.createElement('canvas');
  let sheetRatio = 0;

  function drawSheet(ratio) {
    sheetRatio = ratio;
    sheet.width = Math.ceil(SHEET_COLUMNS * SHEET_CELL * ratio);
    sheet.height = Math.ceil((360 / SHEET_COLUMNS) * SHEET_CELL * ratio);
    const target = sheet.getContext('2d');
    target.setTransform(ratio, 0, 0, ratio, 0, 0);
    target.fillStyle = '#2f6fce';
    target.beginPath();
    for (let degree = 0; degree < 360; ++degree) {
      arrowPath(target, (degree % SHEET_COLUMNS + 0.5) * SHEET_CELL,
                (Math.floor(degree / SHEET_COLUMNS) + 0.5) * SHEET_CELL, degree);
    }
    target.fill();
  }

  function copyArrows(list, ratio) {
    if (sheetRatio !== ratio) drawSheet(ratio);
    const scale = view.scale;
    const cell = SHEET_CELL * ratio;
    context.setTransform(1, 0, 0, 1, 0, 0);  // device pixels: whole-pixel copies
    for (const avatar of list) {
      let degree = Math.round(avatar.yaw || 0) % 360;
      if (degree < 0) degree += 360;
      const x = Math.round((avatar.x * scale + originX) * ratio - cell / 2);
      const y = Math.round((avatar.z * scale + originY) * ratio - cell / 2);
      context.drawImage(sheet, (degree % SHEET_COLUMNS) * cell,
                        Math.floor(degree / SHEET_COLUMNS) * cell, cell, cell, x, y, cell, cell);
    }
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
  }

  function drawAvatars(ratio, width, height) {
    const scale = view.scale;
    const crowd = view.avatars.size > LABEL_LIMIT && scale < 4;
    const size = ARROW;
    // All arrows in one path, filled and outlined once: a thousand avatars
    // cost two draw calls, not two thousand.
    const arrows = (list) => {
      if (list.length === 0) return;
      context.beginPath();
      for (const avatar of list) {
        arrowPath(context, avatar.x * scale + originX, avatar.z * scale + originY, avatar.yaw);
      }
      context.fill();
      // Outlines only while they can be told apart: in a crowd they would
      // double the drawing for nothing.
      if (list.length <= LABEL_LIMIT || scale >= 4) context.stroke();
    };
    const shown = [];
    const followed = [];
    for (const avatar of view.avatars.values()) {
      const x = avatar.x * scale + originX;
      const y = avatar.z * scale + originY;
      if (x < -60 || y < -60 || x > width + 60 || y > height + 60) continue;
      (avatar.session === view.follow ? followed : shown).push(avatar);
    }
    context.lineWidth = 1.5;
    context.strokeStyle = '#fff';
    context.fillStyle = '#2f6fce';
    if (crowd) copyArrows(shown, ratio);
    else arrows(shown);
    context.fillStyle = '#d0342c';
    arrows(followed);
    context.font = '12px system-ui, sans-serif';
    context.textBaseline = 'bottom';
    context.textAlign = 'center';
    context.fillStyle = '#1d2430';
    const label = (avatar) => {
      context.fillText(avatar.name, avatar.x * scale + originX,
                       avatar.z * scale + originY - size - 2);
    };
    if (!crowd) shown.forEach(label);
    followed.forEach(label);
    context.textAlign = 'start';
  }

  function draw() {
    view.pending = false;
    const started = performance.now();
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    originX = width / 2 - view.centerX * view.scale;
    originY = height / 2 - view.centerZ * view.scale;
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    drawGround(ratio, width, height);
    drawObjects(width, height);
    const trailsLeft = ageTrails(started);
    drawTrails();
    drawAvatars(ratio, width, height);
    const mean = record(view.drawTimes, performance.now() - started, 'draw');
    view.frames += 1;
    document.body.dataset.frames = String(view.frames);
    setText('draw-ms', mean.toFixed(1));
    // Trails fade on their own: draw again while any is still visible (one
    // timer at a time, or every event would start a chain of its own).
    if (trailsLeft && view.trailTimer === null) {
      view.trailTimer = setTimeout(() => {
        view.trailTimer = null;
        schedule();
      }, 250);
    }
  }

  // ---- Start: the world list once, then the stream --------------------------

  async function start() {
    let list;
    try {
      const response = await fetch('/api/worlds', { cache: 'no-store' });
      list = await response.json();
    } catch (error) {
      setStatus('cannot reach the sandbox', true);
      return;
    }
    showWorlds(list.worlds);
    const names = list.worlds.map((world) => world.name);
    const wanted = decodeURIComponent(location.hash.slice(1));
    const first = names.includes(wanted) ? wanted : names[0];
    if (first !== undefined) openWorld(first);
    else setStatus('no worlds', true);
    schedule();
  }

  start();
})();
