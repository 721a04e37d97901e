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
    trails: new Map(),         // session -> [{x, z, t}]
    avatarMarkers: new Map(),  // session -> its marker element
    centerX: 0,
    centerZ: 0,
    scale: 6,                  // pixels per world unit
    fitted: false,
    follow: null,              // session followed, or null
    source: null,
    pending: false,
    drawTimes: [],
    frames: 0,
  };

  function make(tag, className, text) {
    const element = document.createElement(tag);
    if (className) element.className = className;
    if (text !== undefined) element.textContent = text;
    return element;
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
    source.addEventListener('world', (event) => onWorld(JSON.parse(event.data)));
    source.addEventListener('avatars', (event) => onAvatars(JSON.parse(event.data).avatars));
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
    onAvatars(world.avatars);
    showObjectMarkers();
    $('object-count').textContent = String(view.objects.length);
    if (!view.fitted) fit();
    schedule();
  }

  function onAvatars(list) {
    const now = performance.now();
    const avatars = new Map();
    for (const avatar of list) {
      if (!avatar.visible) continue;  // no position yet
      avatars.set(avatar.session, avatar);
      let trail = view.trails.get(avatar.session);
      if (!trail) {
        trail = [];
        view.trails.set(avatar.session, trail);
      }
      const last = trail[trail.length - 1];
      if (!last || last.x !== avatar.x || last.z !== avatar.z) {
        trail.push({ x: avatar.x, z: avatar.z, t: now });
      }
    }
    for (const session of view.trails.keys()) {
      if (!avatars.has(session)) view.trails.delete(session);
    }
    view.avatars = avatars;
    if (view.followName) {
      for (const avatar of avatars.values()) {
        if (avatar.name === view.followName) view.follow = avatar.session;
      }
      view.followName = null;
    }
    if (view.follow !== null && !avatars.has(view.follow)) view.follow = null;
    showAvatarMarkers();
    showFollowChoices();
    $('avatar-count').textContent = String(avatars.size);
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
    $('clients').textContent = String(stats.clients);
    $('frames-in').textContent = (stats.frames_in_per_s || 0).toFixed(0);
    $('frames-out').textContent = (stats.frames_out_per_s || 0).toFixed(0);
  }

  // ---- Markers: what was drawn, readable by tools -------------------------

  function showAvatarMarkers() {
    const markers = $('markers');
    for (const [session, marker] of view.avatarMarkers) {
      if (!view.avatars.has(session)) {
        marker.remove();
        view.avatarMarkers.delete(session);
      }
    }
    for (const avatar of view.avatars.values()) {
      let marker = view.avatarMarkers.get(avatar.session);
      if (!marker) {
        marker = make('div', 'avatar-marker');
        marker.dataset.session = String(avatar.session);
        markers.append(marker);
        view.avatarMarkers.set(avatar.session, marker);
      }
      if (marker.dataset.name !== avatar.name) {
        marker.dataset.name = avatar.name;
        marker.textContent = avatar.name;
      }
      marker.dataset.x = String(avatar.x);
      marker.dataset.z = String(avatar.z);
      marker.dataset.yaw = String(avatar.yaw);
    }
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

  function showFollowChoices() {
    const select = $('follow');
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
    select.value = view.follow === null ? '' : String(view.follow);
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
    const xs = [];
    const zs = [];
    for (const avatar of view.avatars.values()) {
      xs.push(avatar.x);
      zs.push(avatar.z);
    }
    for (const object of view.objects) {
      xs.push(object.x);
      zs.push(object.z);
    }
    if (xs.length === 0) {
      xs.push(0);
      zs.push(0);
    } else {
      view.fitted = true;
    }
    const minX = Math.min(...xs), maxX = Math.max(...xs);
    const minZ = Math.min(...zs), maxZ = Math.max(...zs);
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

  function terrainRange() {
    let low = Infinity, high = -Infinity;
    for (const node of view.terrain) {
      for (const height of node.heights) {
        if (height === null) continue;
        if (height < low) low = height;
        if (height > high) high = height;
      }
    }
    return { low, high };
  }

  function drawTerrain(width, height) {
    if (view.terrain.length === 0) return;
    // A terrain cell is drawn one world cell wide; a node is 8 x 8 cells,
    // a tile 4 x 4 nodes.
    const side = view.cellSize;
    const pixels = side * view.scale;
    const { low, high } = terrainRange();
    const range = high - low || 1;
    for (const node of view.terrain) {
      const baseX = (node.tile_x * 32 + node.node_x * 8) * side;
      const baseZ = (node.tile_z * 32 + node.node_z * 8) * side;
      const corner = toScreen(baseX, baseZ);
      if (corner.x > width || corner.y > height ||
          corner.x + 8 * pixels < 0 || corner.y + 8 * pixels < 0) continue;
      for (let i = 0; i < 64; ++i) {
        const h = node.heights[i];
        if (h === null) continue;
        const level = (h - low) / range;  // 0 low .. 1 high
        const shade = Math.round(200 - 120 * level);
        context.fillStyle = 'rgb(' + (shade - 30) + ',' + shade + ',' + (shade - 50) + ')';
        context.fillRect(corner.x + (i % 8) * pixels, corner.y + Math.floor(i / 8) * pixels,
                         Math.ceil(pixels), Math.ceil(pixels));
      }
    }
  }

  function drawGrid(width, height) {
    const side = view.cellSize;
    const pixels = side * view.scale;
    if (pixels < 6) return;  // too dense to mean anything
    const topLeft = toWorld(0, 0);
    const bottomRight = toWorld(width, height);
    context.strokeStyle = 'rgba(40, 60, 40, 0.18)';
    context.lineWidth = 1;
    context.beginPath();
    for (let x = Math.floor(topLeft.x / side) * side; x <= bottomRight.x; x += side) {
      const px = Math.round(toScreen(x, 0).x) + 0.5;
      context.moveTo(px, 0);
      context.lineTo(px, height);
    }
    for (let z = Math.floor(topLeft.z / side) * side; z <= bottomRight.z; z += side) {
      const py = Math.round(toScreen(0, z).y) + 0.5;
      context.moveTo(0, py);
      context.lineTo(width, py);
    }
    context.stroke();
    // The axes through the origin.
    const origin = toScreen(0, 0);
    context.strokeStyle = 'rgba(40, 60, 40, 0.45)';
    context.beginPath();
    context.moveTo(origin.x, 0);
    context.lineTo(origin.x, height);
    context.moveTo(0, origin.y);
    context.lineTo(width, origin.y);
    context.stroke();
  }

  function drawObjects(width, height) {
    const labels = view.objects.length <= LABEL_LIMIT || view.scale >= 4;
    context.font = '11px system-ui, sans-serif';
    context.textBaseline = 'top';
    for (const object of view.objects) {
      const at = toScreen(object.x, object.z);
      if (at.x < -50 || at.y < -50 || at.x > width + 50 || at.y > height + 50) continue;
      context.fillStyle = '#8a5a2b';
      context.strokeStyle = '#fff';
      context.lineWidth = 1;
      context.fillRect(at.x - 4, at.y - 4, 8, 8);
      context.strokeRect(at.x - 4.5, at.y - 4.5, 9, 9);
      if (labels) {
        context.fillStyle = '#5a3510';
        context.fillText(object.model, at.x + 7, at.y + 3);
      }
    }
  }

  function drawTrails(now) {
    context.lineWidth = 2;
    context.strokeStyle = 'rgba(47, 111, 206, 0.35)';
    context.beginPath();
    for (const [session, trail] of view.trails) {
      while (trail.length > 1 && now - trail[0].t > TRAIL_MS) trail.shift();
      const avatar = view.avatars.get(session);
      if (!avatar || trail.length < 2) continue;
      let at = toScreen(trail[0].x, trail[0].z);
      context.moveTo(at.x, at.y);
      for (let i = 1; i < trail.length; ++i) {
        at = toScreen(trail[i].x, trail[i].z);
        context.lineTo(at.x, at.y);
      }
    }
    context.stroke();
  }

  function drawAvatars(width, height) {
    const labels = view.avatars.size <= LABEL_LIMIT || view.scale >= 4;
    const size = 9;
    // All arrows in one path, filled and outlined once: a thousand avatars
    // cost two draw calls, not two thousand.
    const arrows = (list) => {
      context.beginPath();
      for (const [avatar, at] of list) {
        // Yaw in degrees: 0 faces +x, 90 faces +z (down the map).
        const angle = (avatar.yaw || 0) * Math.PI / 180;
        const cos = Math.cos(angle), sin = Math.sin(angle);
        const point = (forward, side) => [
          at.x + forward * cos - side * sin,
          at.y + forward * sin + side * cos,
        ];
        context.moveTo(...point(size, 0));
        context.lineTo(...point(-size * 0.7, size * 0.6));
        context.lineTo(...point(-size * 0.35, 0));
        context.lineTo(...point(-size * 0.7, -size * 0.6));
        context.closePath();
      }
      context.fill();
      // Outlines only while they can be told apart: in a crowd they would
      // double the drawing for nothing.
      if (list.length <= LABEL_LIMIT || view.scale >= 4) context.stroke();
    };
    const shown = [];
    const followed = [];
    for (const avatar of view.avatars.values()) {
      const at = toScreen(avatar.x, avatar.z);
      if (at.x < -60 || at.y < -60 || at.x > width + 60 || at.y > height + 60) continue;
      (avatar.session === view.follow ? followed : shown).push([avatar, at]);
    }
    context.lineWidth = 1.5;
    context.strokeStyle = '#fff';
    context.fillStyle = '#2f6fce';
    arrows(shown);
    context.fillStyle = '#d0342c';
    arrows(followed);
    context.font = '12px system-ui, sans-serif';
    context.textBaseline = 'bottom';
    context.textAlign = 'center';
    context.fillStyle = '#1d2430';
    for (const [avatar, at] of labels ? shown.concat(followed) : followed) {
      context.fillText(avatar.name, at.x, at.y - size - 2);
    }
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
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, width, height);
    drawTerrain(width, height);
    drawGrid(width, height);
    drawObjects(width, height);
    drawTrails(started);
    drawAvatars(width, height);
    const took = performance.now() - started;
    view.drawTimes.push(took);
    if (view.drawTimes.length > DRAW_SAMPLES) view.drawTimes.shift();
    view.frames += 1;
    const mean = view.drawTimes.reduce((a, b) => a + b, 0) / view.drawTimes.length;
    document.body.dataset.drawMs = mean.toFixed(2);
    document.body.dataset.drawMsMax = Math.max(...view.drawTimes).toFixed(2);
    document.body.dataset.frames = String(view.frames);
    $('draw-ms').textContent = mean.toFixed(1);
    // Trails fade on their own: draw again while any is still visible.
    for (const trail of view.trails.values()) {
      if (trail.length > 1) {
        setTimeout(schedule, 250);
        break;
      }
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
