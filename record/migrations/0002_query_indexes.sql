-- What history, fleet and stats look rows up by, and the abandoned rows' search.
CREATE INDEX updates_started_at ON updates (started_at);
CREATE INDEX updates_serial_started_at ON updates (serial, started_at);
CREATE INDEX updates_station_started_at ON updates (station, started_at);
CREATE INDEX updates_running ON updates (host, outcome);
